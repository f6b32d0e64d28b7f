// A test's own temporary directory with an empty served root inside it: base_ holds what the
// test keeps beside the root (a secret outside it, a process's output), root_ is base_/root.
// Made fresh for every test case and removed with everything in it afterwards.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace vrns_test {

class TempRoot : public ::testing::Test {
  protected:
    // prefix names the directory, so that one a failed run leaves behind says whose it is.
    explicit TempRoot(const char* prefix = "vrns-test") : prefix_(prefix) {}

    void SetUp() override {
        std::string tmpl = "/tmp/" + prefix_ + "-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        base_ = tmpl;
        root_ = base_ + "/root";
        ASSERT_EQ(mkdir(root_.c_str(), 0755), 0);
    }

    void TearDown() override {
        if (base_.empty()) return;
        std::error_code error;
        std::filesystem::remove_all(base_, error);
        EXPECT_FALSE(error) << base_ << ": " << error.message();
    }

    std::string base_, root_;

  private:
    std::string prefix_;
};

}  // namespace vrns_test
