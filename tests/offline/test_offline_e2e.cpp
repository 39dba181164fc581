// The offline modes of the real binary: benchmark and verification.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/cpu_features.hpp"
#include "tests/support/process.hpp"

using namespace nolu::qxt;
using namespace nolu::qxt::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const std::string& miner = miner_binary();
const std::string vectors = QXT_VECTORS;

ProcessResult run(std::vector<std::string> args, std::chrono::milliseconds limit = 120s) {
    args.insert(args.begin(), "--no-color");
    return run_miner(std::move(args), limit);
}

std::vector<std::string> vector_lines() {
    std::vector<std::string> lines;
    std::ifstream in(vectors);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}

std::string write_file(const std::string& name, const std::string& content) {
    const fs::path path = fs::temp_directory_path() / ("qxt-verify-" + std::to_string(getpid()) + "-" + name);
    std::ofstream(path) << content;
    return path.string();
}

std::string last_line(const std::string& out) {
    const std::size_t end = out.size() > 0 && out.back() == '\n' ? out.size() - 1 : out.size();
    const std::size_t start = out.rfind('\n', end - 1);
    return out.substr(start == std::string::npos ? 0 : start + 1, end - (start == std::string::npos ? 0 : start + 1));
}

}  // namespace

TEST(OfflineModes, BenchmarkOfFiveSeconds) {
    const ProcessResult r = run({"--bench", "5", "-t", "1", "-u", "QXaddr"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out.find(" pool "), std::string::npos);
    EXPECT_EQ(r.out.find(" user "), std::string::npos);
    EXPECT_EQ(r.out.find(" net "), std::string::npos);
    EXPECT_EQ(r.out.find("shutdown requested"), std::string::npos);
    EXPECT_NE(r.out.find(" NOLU KORVEN QXT v1.0.2  Argon2id 2 GiB · 1 thread · 1% dev fee\n"), std::string::npos);
    EXPECT_NE(r.out.find("\n check self-test passed on 1 thread · engine "), std::string::npos) << r.out;
    const std::string bench = last_line(r.out);
    EXPECT_EQ(bench.rfind(" bench 1 threads: ", 0), 0u) << r.out;
    const std::string tail = " H/s over 5 s";
    ASSERT_GT(bench.size(), tail.size());
    EXPECT_EQ(bench.substr(bench.size() - tail.size()), tail) << bench;
}

TEST(OfflineModes, VerifyTheShippedVectors) {
    const std::size_t n = vector_lines().size();
    ASSERT_GE(n, 6u);
    if (detect_isa().avx512) {
        const ProcessResult r = run({"--verify", vectors});
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(last_line(r.out), " check verify " + std::to_string(2 * n) + "/" + std::to_string(2 * n) + " OK");
        // Verification prints no title line, starts no pool client and runs no
        // self-test (it checks every record itself).
        EXPECT_EQ(r.out.find("Argon2id 2 GiB"), std::string::npos);
        EXPECT_EQ(r.out.find("self-test"), std::string::npos);
        EXPECT_EQ(r.out.find(" net "), std::string::npos);
    }
    const ProcessResult r = run({"--verify", vectors, "--engine", "avx2"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(last_line(r.out), " check verify " + std::to_string(n) + "/" + std::to_string(n) + " OK");
}

TEST(OfflineModes, VerifyReportsMismatches) {
    const auto lines = vector_lines();
    std::string wrong = lines[1];
    wrong.back() = wrong.back() == '0' ? '1' : '0';
    // Upper-case digits decode like lower-case ones.
    std::string upper = lines[0];
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::string file = write_file("wrong", upper + "\n" + wrong + "\n");
    ProcessResult r = run({"--verify", file, "--engine", "avx2"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(last_line(r.out), " check verify 1/2 FAILED");
    if (detect_isa().avx512) {
        r = run({"--verify", file});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(last_line(r.out), " check verify 2/4 FAILED");
    }

    // A short header word is a mismatch; it never borrows bytes of the record before it.
    const std::string header = lines[0].substr(0, 184);
    const std::string rest = lines[0].substr(184);
    const std::string shortened = write_file("short", lines[0] + "\n" + header.substr(0, 182) + rest + "\n");
    r = run({"--verify", shortened, "--engine", "avx2"});
    EXPECT_EQ(last_line(r.out), " check verify 1/2 FAILED");

    // A malformed nonce is a mismatch that is named; the records after it are
    // still checked (it used to end the reading and report 1/1 OK).
    const std::string bad_nonce = write_file("nonce", lines[0] + "\n" + header + " 12x " + lines[0].substr(lines[0].rfind(' ') + 1) + "\n" + lines[1] + "\n");
    r = run({"--verify", bad_nonce, "--engine", "avx2"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(" check line 2: nonce \"12x\" is not a 64-bit decimal number\n"), std::string::npos) << r.out;
    EXPECT_EQ(last_line(r.out), " check verify 2/3 FAILED");
    fs::remove(file);
    fs::remove(shortened);
    fs::remove(bad_nonce);
}

TEST(OfflineModes, VerifyWithNothingToCheckFails) {
    const std::string empty = write_file("empty", "");
    ProcessResult r = run({"--verify", empty});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(last_line(r.out), " check verify 0/0 FAILED");
    r = run({"--verify", "/nonexistent/vectors.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(last_line(r.out), " check verify 0/0 FAILED");
    fs::remove(empty);
}

TEST(OfflineModes, VerifyOnAProcessorWithoutAvx512) {
    if (access("/usr/bin/qemu-x86_64", X_OK) != 0) GTEST_SKIP() << "qemu-x86_64 not installed";
    // The AVX2 path end to end on an emulated processor that has no AVX-512:
    // any AVX-512 instruction would end it with SIGILL.
    const std::string one = write_file("one", vector_lines()[0] + "\n");
    const ProcessResult r =
        run_process({"/usr/bin/qemu-x86_64", "-cpu", "max", miner, "--no-color", "--verify", one}, 600s);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(last_line(r.out), " check verify 1/1 OK");
    fs::remove(one);
}

TEST(OfflineModes, VerifyStopsOnASignalWithinASecond) {
    std::string many;
    for (int i = 0; i < 40; ++i) many += vector_lines()[static_cast<std::size_t>(i) % vector_lines().size()] + "\n";
    const std::string file = write_file("many", many);
    for (const int sig : {SIGINT, SIGTERM}) {
        Process p({miner, "--no-color", "--engine", "avx2", "--verify", file});
        std::this_thread::sleep_for(2s);  // start-up done, hashing
        const auto start = std::chrono::steady_clock::now();
        p.signal(sig);
        const ProcessResult r = p.wait(30s);
        const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_LT(took, 1.0) << "signal " << sig;  // the hash in progress is not waited for
        const std::string last = last_line(r.out);
        EXPECT_EQ(last.rfind(" check verify ", 0), 0u) << r.out;
        EXPECT_NE(last.find(" INTERRUPTED \xE2\x80\x94 stopped by a signal before the end"), std::string::npos) << last;
        std::printf("[measure] --verify stopped %.3f s after signal %d\n", took, sig);
    }
    fs::remove(file);
}

TEST(OfflineModes, VerifyNeverPassesOnInputItCouldNotCheck) {
    const auto lines = vector_lines();
    // A hash one digit too long used to pass on its first 64 digits.
    const std::string longer = write_file("longer", lines[0] + "0\n" + lines[1] + "\n");
    ProcessResult r = run({"--verify", longer, "--engine", "avx2"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(" check line 1: hash \""), std::string::npos) << r.out;
    EXPECT_EQ(last_line(r.out), " check verify 1/2 FAILED");

    // 32 MiB without a line break or a blank: one endless word, read in
    // bounded memory, and a failure.
    const std::string endless = write_file("endless", std::string(32u << 20, '7'));
    r = run({"--verify", endless, "--engine", "avx2"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(" check line 1: a record cut short by the end of the file (1 of 3 words)\n"), std::string::npos)
        << r.out;
    EXPECT_EQ(last_line(r.out), " check verify 0/1 FAILED");

    // A record cut short at the end, after good ones.
    const std::string cut = write_file("cut", lines[0] + "\n" + lines[1].substr(0, 190));
    r = run({"--verify", cut, "--engine", "avx2"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(last_line(r.out), " check verify 1/2 FAILED");
    fs::remove(longer);
    fs::remove(endless);
    fs::remove(cut);
}

TEST(OfflineModes, BenchmarkWithLanesCountsArenas) {
    const ProcessResult r = run({"--bench", "3", "-t", "1", "--lanes", "2", "--skip", "0"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find(" lanes 2 nonces per thread at once · 2 arenas of 2048 MiB, 4096 MiB in all\n"),
              std::string::npos)
        << r.out;
    // The pages line counts arenas, not threads.
    const std::size_t pages = r.out.find(" pages ");
    ASSERT_NE(pages, std::string::npos) << r.out;
    int in_1g = -1, in_2m = -1, in_thp = -1;
    ASSERT_EQ(std::sscanf(r.out.c_str() + pages,
                          " pages %d arena(s) in reserved 1 GiB pages, %d in reserved 2 MiB pages, %d in transparent",
                          &in_1g, &in_2m, &in_thp),
              3)
        << r.out;
    EXPECT_EQ(in_1g + in_2m + in_thp, 2);
    EXPECT_EQ(last_line(r.out).rfind(" bench 1 threads: ", 0), 0u) << r.out;

    // Skip-store is refused with lanes, before any arena is mapped.
    const ProcessResult refused = run({"--bench", "3", "--lanes", "2", "--skip", "600"});
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.out.find(" cpu   --lanes does not combine with skip-store (--skip, --skip-norebuild)\n"),
              std::string::npos)
        << refused.out;
}

// The shortest tune: one trial of one thread, the table, the file written.
TEST(OfflineModes, TuneWritesTheFastestSettingIntoTheConfigFile) {
    const std::string config = write_file("tune.json", "{\"pool\":\"p.example:3358\",\"threads\":7}\n");
    const ProcessResult r = run({"--tune", "1", "-t", "1", "--engine", "avx2", "--config", config});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find(" tune  [1/"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("   1*"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("korven-qxt --engine avx2 -t 1 --lanes 1 --skip 0 --side 0\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" tune  written to " + config + "\n"), std::string::npos) << r.out;
    std::ifstream in(config);
    std::stringstream content;
    content << in.rdbuf();
    EXPECT_EQ(content.str(),
              "{\"pool\":\"p.example:3358\",\"threads\":1,\"engine\":\"avx2\",\"lanes\":1,\"skip\":0,\"side\":0}\n");
    fs::remove(config);
}

TEST(OfflineModes, TuneStopsOnSigintWithoutWriting) {
    const std::string config = write_file("tune-stopped.json", "{}");
    Process p({miner, "--no-color", "--tune", "600", "-t", "1", "--config", config});
    ASSERT_TRUE(p.wait_for_output(" tune  about 600 s", 60s)) << p.out();
    std::this_thread::sleep_for(2s);  // into the first trial
    const auto t0 = std::chrono::steady_clock::now();
    p.signal(SIGINT);
    const ProcessResult r = p.wait(30s);
    // The hash in progress finishes first (about a second here), then the tuner ends.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 8s);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find(" tune  stopped before the end: nothing written\n"), std::string::npos) << r.out;
    std::ifstream in(config);
    std::stringstream content;
    content << in.rdbuf();
    EXPECT_EQ(content.str(), "{}");
    fs::remove(config);
}

// With --lanes the records are hashed once more, that many at a time: here
// a call of two lanes, then one of one; the wrong record fails in both passes.
TEST(OfflineModes, VerifyWithLanesChecksEveryLane) {
    const auto lines = vector_lines();
    std::string wrong = lines[4];
    wrong.back() = wrong.back() == '0' ? '1' : '0';
    const std::string file = write_file("lanes", lines[2] + "\n" + lines[3] + "\n" + wrong + "\n");
    ProcessResult r = run({"--verify", file, "--engine", "avx2", "--lanes", "2"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(last_line(r.out), " check verify 4/6 FAILED") << r.out;
    fs::remove(file);
}

// A call of three lanes lasts three hashes; a stop ends it early, so the
// benchmark still stops within about two seconds.
TEST(OfflineModes, LanesStopWithinTheUsualTime) {
    Process p({miner, "--no-color", "--bench", "600", "-t", "1", "--lanes", "3"});
    ASSERT_TRUE(p.wait_for_output(" pages ", 60s)) << p.out();
    std::this_thread::sleep_for(1500ms);  // into the first call
    const auto t0 = std::chrono::steady_clock::now();
    p.signal(SIGINT);
    const ProcessResult r = p.wait(20s);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s);  // about two seconds, with room for a loaded machine
    EXPECT_EQ(r.status, 0) << r.out << r.err;
}
