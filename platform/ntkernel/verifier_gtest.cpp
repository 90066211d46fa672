// Links the kernel verifier into GoogleTest: every report fails the running
// test with the report's text (request, service and place). Linked into test
// programs as an object library, so the installer below always runs.
#include <gtest/gtest.h>

#include "ntkernel/verifier.h"

namespace {

struct InstallVerifierFailures {
  InstallVerifierFailures() {
    ntkernel::SetVerifierHandler([](const ntkernel::VerifierReport& report) {
      ADD_FAILURE() << report.ToString();
    });
  }
};

const InstallVerifierFailures g_install;

}  // namespace
