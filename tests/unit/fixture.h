// Every unit test starts from a fresh in-memory system and fresh run state.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/run.h"
#include "app/settings.h"
#include "fake_platform.h"
#include "report/output.h"

class FakeSystemTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Leftovers of an earlier test go to the old system.
        scythe::flush_output();
        scythe::reset_output();
        fake::reset(u"/root");
        scythe::settings = scythe::RunSettings{};
        scythe::settings.rooted_path = u"/root";
    }

    static std::string console() {
        scythe::flush_output();
        return fake::system.console;
    }

    static std::string file(const std::u16string& path) {
        scythe::flush_output();
        return fake::system.files[path];
    }

    // A whole program run; the arguments follow the program's name.
    static int run(std::vector<std::u16string> arguments) {
        arguments.insert(arguments.begin(), u"scythe");
        int result = scythe::run_program(arguments);
        scythe::flush_output();
        return result;
    }
};
