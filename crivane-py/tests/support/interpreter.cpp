// The embedded interpreter of the C++ tests that call into Python: started
// once before the first test and never finalized, since (as in the extension
// module) class objects stay for the life of the process.
#include "py/python.hpp"

#include <gtest/gtest.h>

// The interpreter keeps some of its start-up objects where the leak checker
// cannot see them; reference leaks are measured with tracemalloc instead.
extern "C" int __lsan_is_turned_off() { return 1; }

namespace {

class Interpreter : public ::testing::Environment {
 public:
  void SetUp() override {
    // Plain malloc lets the sanitizers see every Python object.
    PyPreConfig pre;
    PyPreConfig_InitIsolatedConfig(&pre);
    pre.allocator = PYMEM_ALLOCATOR_MALLOC;
    PyStatus status = Py_PreInitialize(&pre);
    if (PyStatus_Exception(status)) Py_ExitStatusException(status);
    PyConfig config;
    PyConfig_InitIsolatedConfig(&config);
    status = PyConfig_SetBytesString(&config, &config.program_name, "/usr/bin/python3");
    if (!PyStatus_Exception(status)) status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) Py_ExitStatusException(status);
  }
};

const auto* const interpreter = ::testing::AddGlobalTestEnvironment(new Interpreter);

}  // namespace
