// Captures what the code under test writes to standard output.
#pragma once

#include <functional>
#include <string>

namespace nolu::qxt::test {

std::string capture_stdout(const std::function<void()>& body);

}  // namespace nolu::qxt::test
