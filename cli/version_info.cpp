#include "cli/version_info.hpp"

#include <cstdio>

#include "common/version.hpp"
#include "host/cpu_features.hpp"

namespace nolu::qxt {

std::string version_report(const IsaSupport& isa) {
    std::string text = std::string("korven-qxt ") + version_text + "\nengines:";
    const char* best = nullptr;
    for (const EngineRow& row : engine_rows()) {
        if (!row.automatic || !row.usable(isa)) continue;  // only what --engine can pick
        text += ' ';
        text += row.name;
        if (best == nullptr) best = row.name;
    }
    if (best == nullptr)
        text += " none: this processor has neither AVX-512 nor AVX2\n";
    else
        text += std::string(" (default: ") + best + ")\n";
    return text;
}

int print_version() {
    std::fputs(version_report(detect_isa()).c_str(), stdout);
    return 0;
}

}  // namespace nolu::qxt
