#include "console/failure.hpp"

#include <cstdio>

#include "console/console.hpp"

namespace nolu::qxt {

int report_failure(const Failure& failure) {
    if (failure.tag == nullptr) {
        std::fprintf(stderr, "%s\n", failure.message.c_str());
    } else {
        log_line(colours.red, failure.tag, failure.message);
    }
    return failure.status;
}

}  // namespace nolu::qxt
