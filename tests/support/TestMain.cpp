// Entry of every test program: a QApplication on the offscreen platform, then GoogleTest.
#include <QApplication>
#include <QLoggingCategory>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

int main(int argc, char** argv) {
    // Tests never need a display; a caller may still pick another platform (e.g. xcb).
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // Growing a file past RLIMIT_FSIZE must come back as a write error, not kill the test.
    std::signal(SIGXFSZ, SIG_IGN);
    QApplication app(argc, argv);
    QApplication::setStyle("Fusion");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
