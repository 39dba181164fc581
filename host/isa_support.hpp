// The vector instruction sets this process may use: what the processor
// reports and the operating system has enabled (cpu_features reads them).
#pragma once

namespace nolu::qxt {

struct IsaSupport {
    bool avx2 = false;
    bool avx512 = false;  // F, VL and BW, with their register state enabled
};

}  // namespace nolu::qxt
