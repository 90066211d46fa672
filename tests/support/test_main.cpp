// The main() of every test program: GoogleMock and GoogleTest with the
// per-test home folder installed.
#include <gmock/gmock.h>

namespace zorcam::testing {
void InstallTestHomeListener();
}

int main(int argc, char** argv) {
  ::testing::InitGoogleMock(&argc, argv);
  zorcam::testing::InstallTestHomeListener();
  return RUN_ALL_TESTS();
}
