#include "host/cpu_features.hpp"

#include <cpuid.h>

namespace nolu::qxt {

namespace {

constexpr std::uint32_t osxsave_bit = 1u << 27;
constexpr std::uint32_t avx2_bit = 1u << 5;
constexpr std::uint32_t avx512f_bit = 1u << 16;
constexpr std::uint32_t avx512bw_bit = 1u << 30;
constexpr std::uint32_t avx512vl_bit = 1u << 31;
constexpr std::uint64_t xcr0_avx_state = 0x6;     // SSE and AVX state
constexpr std::uint64_t xcr0_avx512_state = 0xE6;  // plus opmask, upper ZMM halves, ZMM16-31

bool os_and_leaf7(const CpuidValues& v) {
    return (v.leaf1_ecx & osxsave_bit) != 0 && v.max_basic_leaf >= 7;
}

}  // namespace

bool avx2_usable(const CpuidValues& v) {
    return os_and_leaf7(v) && (v.xcr0 & xcr0_avx_state) == xcr0_avx_state && (v.leaf7_ebx & avx2_bit) != 0;
}

bool avx512_usable(const CpuidValues& v) {
    constexpr std::uint32_t all = avx512f_bit | avx512vl_bit | avx512bw_bit;
    return os_and_leaf7(v) && (v.xcr0 & xcr0_avx512_state) == xcr0_avx512_state && (v.leaf7_ebx & all) == all;
}

CpuidValues read_cpuid() {
    CpuidValues v;
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(0, &eax, &ebx, &ecx, &edx) == 0) return v;
    v.max_basic_leaf = eax;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0) v.leaf1_ecx = ecx;
    if (v.max_basic_leaf >= 7 && __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0) v.leaf7_ebx = ebx;
    if ((v.leaf1_ecx & osxsave_bit) != 0) {
        // XGETBV faults unless the operating system has set OSXSAVE.
        std::uint32_t lo = 0, hi = 0;
        __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
        v.xcr0 = (static_cast<std::uint64_t>(hi) << 32) | lo;
    }
    return v;
}

IsaSupport isa_support(const CpuidValues& v) {
    return IsaSupport{avx2_usable(v), avx512_usable(v)};
}

IsaSupport detect_isa() {
    return isa_support(read_cpuid());
}

}  // namespace nolu::qxt
