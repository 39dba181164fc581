// The one place where failures become what the user sees: a plain line on
// standard error or a red tagged console line, and the exit status.
#pragma once

#include <string>

#include "common/expected.hpp"

namespace nolu::qxt {

struct Failure {
    int status = 1;             // the process's exit status
    const char* tag = nullptr;  // console tag of a red line; null: a plain line on standard error
    std::string message;
};

template <class T>
using Outcome = Expected<T, Failure>;

// Exit statuses: 1 for the processor, the memory, a failed verification and
// a self-test that left no thread, 2 for the command line and the rules
// between options.
inline Failure command_line_failure(std::string message) { return {2, nullptr, std::move(message)}; }
inline Failure option_rule_failure(std::string message) { return {2, "cpu  ", std::move(message)}; }
inline Failure processor_failure(std::string message) { return {1, "cpu  ", std::move(message)}; }
inline Failure memory_failure(std::string message) { return {1, "mem  ", std::move(message)}; }
inline Failure self_test_failure(std::string message) { return {1, "check", std::move(message)}; }

// Writes the failure and returns its exit status.
int report_failure(const Failure& failure);

}  // namespace nolu::qxt
