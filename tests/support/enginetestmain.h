#ifndef TARVO_ENGINE_TEST_MAIN_H
#define TARVO_ENGINE_TEST_MAIN_H

#include "traces.h"

#include <QCoreApplication>
#include <QtTest>

// The engine's tests run on a bare QCoreApplication: no window, no widgets,
// as a program without a window uses the engine.
#define TARVO_ENGINE_TEST_MAIN(TestClass)                                                                              \
    int main(int argc, char *argv[])                                                                                   \
    {                                                                                                                  \
        QCoreApplication app(argc, argv);                                                                              \
        Traces::install();                                                                                             \
        TestClass tc;                                                                                                  \
        return QTest::qExec(&tc, argc, argv);                                                                          \
    }

#endif
