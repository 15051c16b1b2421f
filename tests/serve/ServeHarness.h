// The shared harness around a running host, by its plain names, and the
// one library only these tests load.
#pragma once

#include "tests/hosttest/HostHarness.h"

namespace qelmor::serve::testing {

using namespace qelmor::hosttest;

inline std::string NotAFilterLibrary() {
    return QELMOR_NOT_A_FILTER_LIBRARY;
}

}  // namespace qelmor::serve::testing
