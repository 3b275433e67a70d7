// One QApplication for the whole window test program, made before the tests run.
#pragma once

#include <QApplication>
#include <gtest/gtest.h>

inline int qtTestArgc = 1;
inline char qtTestName[] = "tellwick-ui-tests";
inline char* qtTestArgv[] = {qtTestName, nullptr};
inline QApplication qtTestApplication(qtTestArgc, qtTestArgv);
