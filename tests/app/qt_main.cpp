// One QApplication for the whole test run, created before the tests and destroyed before the
// process exits (a function-local static would be destroyed after Qt's own exit routines).
#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv) {
    if (qgetenv("QT_QPA_PLATFORM").isEmpty()) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
