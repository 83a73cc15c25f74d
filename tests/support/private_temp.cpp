// Gives each test process its own temporary folder, so that tests running in
// parallel processes never see each other's temporary files and a test can
// check that nothing was left behind there.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/platform.h"

namespace {

class PrivateTempFolder : public ::testing::Environment {
 public:
  void SetUp() override {
    if (!qlmr::MakePrivateFolder(qlmr::TempFolderPath().c_str(), "qpt", &folder_)) {
      fprintf(stderr, "cannot make a private temporary folder\n");
      abort();
    }
    if (!qlmr::SetTempFolder(folder_.c_str())) {
      fprintf(stderr, "cannot set the temporary folder\n");
      abort();
    }
  }
  void TearDown() override {
    qlmr::RemoveFolderContents(folder_.c_str());
    qlmr::RemoveEmptyFolder(folder_.c_str());
  }

 private:
  std::string folder_;
};

const ::testing::Environment* const kPrivateTempFolder =
    ::testing::AddGlobalTestEnvironment(new PrivateTempFolder);

}  // namespace
