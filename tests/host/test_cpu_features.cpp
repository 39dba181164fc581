#include <gtest/gtest.h>

#include "host/cpu_features.hpp"

using namespace nolu::qxt;

namespace {

// Register values as real processors report them (leaf 0 EAX, leaf 1 ECX,
// leaf 7.0 EBX, XCR0).
constexpr CpuidValues haswell{0x0D, 0x7FFAFBFF, 0x000027AB, 0x7};
constexpr CpuidValues skylake_x{0x16, 0x7FFEFBFF, 0xD19F4FBB, 0x2FF};
constexpr CpuidValues zen4{0x10, 0x7EF8320B, 0xF1BF97A9, 0x2E7};
constexpr CpuidValues nehalem{0x0B, 0x009CE3BD, 0x00000000, 0x0};

}  // namespace

TEST(CpuFeatures, RealProcessors) {
    EXPECT_TRUE(avx2_usable(haswell));
    EXPECT_FALSE(avx512_usable(haswell));

    EXPECT_TRUE(avx2_usable(skylake_x));
    EXPECT_TRUE(avx512_usable(skylake_x));

    EXPECT_TRUE(avx2_usable(zen4));
    EXPECT_TRUE(avx512_usable(zen4));

    EXPECT_FALSE(avx2_usable(nehalem));
    EXPECT_FALSE(avx512_usable(nehalem));
}

TEST(CpuFeatures, OperatingSystemMustEnableTheRegisterState) {
    // No OSXSAVE: XCR0 cannot be read, nothing is usable even if the bits claim it.
    CpuidValues v = skylake_x;
    v.leaf1_ecx &= ~(1u << 27);
    EXPECT_FALSE(avx2_usable(v));
    EXPECT_FALSE(avx512_usable(v));

    // The OS saves YMM but not the opmask and ZMM state: AVX2 only.
    v = skylake_x;
    v.xcr0 = 0x7;
    EXPECT_TRUE(avx2_usable(v));
    EXPECT_FALSE(avx512_usable(v));
    // Each of the three AVX-512 state bits is needed.
    for (std::uint64_t bit : {0x20u, 0x40u, 0x80u}) {
        v.xcr0 = 0xE7 & ~bit;
        EXPECT_FALSE(avx512_usable(v)) << bit;
    }
    // Without the AVX state (bit 2) neither engine may run.
    v.xcr0 = 0xE3;
    EXPECT_FALSE(avx2_usable(v));
    EXPECT_FALSE(avx512_usable(v));
}

TEST(CpuFeatures, AllThreeAvx512SubsetsAreNeeded) {
    CpuidValues v = skylake_x;
    for (std::uint32_t bit : {1u << 16, 1u << 30, 1u << 31}) {
        v.leaf7_ebx = skylake_x.leaf7_ebx & ~bit;
        EXPECT_FALSE(avx512_usable(v)) << bit;
        EXPECT_TRUE(avx2_usable(v));
    }
    // A processor with AVX-512F alone (no VL/BW) and AVX2.
    v.leaf7_ebx = (1u << 16) | (1u << 5);
    EXPECT_FALSE(avx512_usable(v));
}

TEST(CpuFeatures, Leaf7MustExist) {
    CpuidValues v = skylake_x;
    v.max_basic_leaf = 6;
    EXPECT_FALSE(avx2_usable(v));
    EXPECT_FALSE(avx512_usable(v));
}

TEST(CpuFeatures, ThisProcessorIsConsistent) {
    const CpuidValues v = read_cpuid();
    const IsaSupport isa = detect_isa();
    EXPECT_EQ(isa.avx2, avx2_usable(v));
    EXPECT_EQ(isa.avx512, avx512_usable(v));
    if (isa.avx512) {
        EXPECT_TRUE(isa.avx2);
    }
}
