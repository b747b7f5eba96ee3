#pragma once
// A fresh directory under /tmp for each test, removed at its end, with small file helpers.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace zel::test {

class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zeltestXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    static void Put(const std::string& path, const std::string& data) {
        std::ofstream(path, std::ios::binary) << data;
    }
    static std::string Get(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    std::string dir_;
};

}  // namespace zel::test
