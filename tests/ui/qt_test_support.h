// One QApplication for the whole window test program.
#pragma once

#include <QApplication>
#include <gtest/gtest.h>
#include <memory>

struct QtApplicationEnvironment : ::testing::Environment {
    void SetUp() override {
        static int argc = 1;
        static char name[] = "tellwick-ui-tests", *argv[] = {name, nullptr};
        app = std::make_unique<QApplication>(argc, argv);
    }
    void TearDown() override { app.reset(); }
    std::unique_ptr<QApplication> app;
};
inline ::testing::Environment* const qtApplicationEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);
