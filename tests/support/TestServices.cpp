#include "TestServices.h"

#include "SystemLog.h"

#include <cstdio>

TestServices::TestServices() = default;
TestServices::~TestServices() = default;

void TestServices::StandardErrorLog::write(std::string_view line) {
    // One fputs per line, so lines from several threads do not interleave.
    const std::string text = SystemLog::stamped(line) + '\n';
    std::fputs(text.c_str(), stderr);
}
