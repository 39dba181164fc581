// Which vector instruction sets this process may use.
#pragma once

#include <cstdint>

#include "host/isa_support.hpp"

namespace nolu::qxt {

// The register values the decision rests on.
struct CpuidValues {
    std::uint32_t max_basic_leaf = 0;  // CPUID leaf 0, EAX
    std::uint32_t leaf1_ecx = 0;       // CPUID leaf 1, ECX (bit 27: OSXSAVE)
    std::uint32_t leaf7_ebx = 0;       // CPUID leaf 7 sub-leaf 0, EBX
    std::uint64_t xcr0 = 0;            // XGETBV(0), only read when OSXSAVE is set
};

// Pure decisions on given register values.
bool avx2_usable(const CpuidValues& v);
bool avx512_usable(const CpuidValues& v);  // F, VL and BW, with opmask and ZMM state enabled

// The instruction sets the engine table chooses from.
IsaSupport isa_support(const CpuidValues& v);

// This processor's values, and the decisions on them.
CpuidValues read_cpuid();
IsaSupport detect_isa();

}  // namespace nolu::qxt
