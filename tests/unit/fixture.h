// Every unit test starts from a fresh in-memory system and its own run
// state: settings and a Report, as a run would create them.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/run.h"
#include "fake_platform.h"
#include "report/output.h"
#include "run_settings.h"

class FakeSystemTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake::reset(u"/root");
        settings = scythe::RunSettings{};
        settings.rooted_path = u"/root";
    }

    std::string console() {
        report.flush_output();
        return fake::system.console;
    }

    std::string file(const std::u16string& path) {
        report.flush_output();
        return fake::system.files[path];
    }

    // A whole program run, with state of its own; the arguments follow the
    // program's name.
    static int run(std::vector<std::u16string> arguments) {
        arguments.insert(arguments.begin(), u"scythe");
        return scythe::run_program(arguments);
    }

    scythe::RunSettings settings;
    scythe::Report report;  // after the settings, whose log paths it holds
    scythe::Counters& counters = report.counters_for_tests();
};
