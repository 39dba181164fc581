// The engine choice on emulated processors (qemu-user): one with AVX2 but no
// AVX-512, one without AVX2.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "tests/support/process.hpp"

using namespace nolu::qxt::test;
using namespace std::chrono_literals;

namespace {

const std::string& binary = miner_binary();

bool have_qemu() {
    return access("/usr/bin/qemu-x86_64", X_OK) == 0;
}

ProcessResult run_qemu(const std::string& cpu, std::vector<std::string> args) {
    args.insert(args.begin(), {"/usr/bin/qemu-x86_64", "-cpu", cpu, binary});
    return run_process(args, 120s);
}

}  // namespace

TEST(EmulatedCpu, ProcessorWithoutAvx512PicksAvx2) {
    if (!have_qemu()) GTEST_SKIP() << "qemu-x86_64 not installed";
    // Emulated processor with AVX2 but no AVX-512: the AVX2-only rule fires.
    ProcessResult r = run_qemu("max", {"--no-color", "--skip", "700", "-u", "a"});
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_NE(r.out.find(" cpu   --skip needs the AVX-512 engine\n"), std::string::npos) << r.out;

    r = run_qemu("max", {"--no-color", "--engine", "avx512", "-u", "a"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find(" cpu   AVX-512 engine requested but this CPU has no AVX-512 (F, VL, BW)\n"),
              std::string::npos)
        << r.out;
}

TEST(EmulatedCpu, ProcessorWithoutAvx2IsRefused) {
    if (!have_qemu()) GTEST_SKIP() << "qemu-x86_64 not installed";
    const ProcessResult r = run_qemu("Nehalem", {"--no-color", "-u", "a"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find(" cpu   this CPU has neither AVX-512 nor AVX2: not supported\n"), std::string::npos) << r.out;
}

TEST(EmulatedCpu, VersionListsOnlyTheEnginesTheProcessorCanRun) {
    if (!have_qemu()) GTEST_SKIP() << "qemu-x86_64 not installed";
    ProcessResult r = run_qemu("max", {"--version"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "korven-qxt v1.0.2\nengines: avx2 (default: avx2)\n");
    r = run_qemu("Nehalem", {"-V"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "korven-qxt v1.0.2\nengines: none: this processor has neither AVX-512 nor AVX2\n");
}
