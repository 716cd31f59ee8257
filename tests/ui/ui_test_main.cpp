// Test program of the window front end. It runs the tests on Qt's offscreen platform
// (unless QT_QPA_PLATFORM says otherwise) with the front end's application object.
//
// Started as "<program> --front-end <arguments>" it is instead the program's window front
// end itself, as P_Update runs it, with the message boxes answered from the list in
// P_UPDATE_TEST_ANSWERS and every window it showed written to P_UPDATE_TEST_RECORD;
// the tests in front_end_test.cpp start it that way.

#include "application_setup.h"
#include "command_line.h"
#include "front_end_child.h"
#include "window_front_end.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <vector>

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], pupdate::testing::kFrontEndSwitch) == 0) {
        // The switch is dropped: the front end sees the arguments as P_Update would.
        std::vector<char*> arguments{argv[0]};
        arguments.insert(arguments.end(), argv + 2, argv + argc);
        arguments.push_back(nullptr);
        int count = argc - 1;
        pupdate::testing::enableFrontEndChild();
        const pupdate::CommandLine commandLine =
            pupdate::commandLineFromArgv(count, arguments.data());
        return pupdate::runWindowFrontEnd(count, arguments.data(), commandLine);
    }

    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    ::testing::InitGoogleTest(&argc, argv);
    pupdate::FrontEndApplication application(argc, argv);
    pupdate::setUpApplication(application, QString::fromLocal8Bit(argv[0]));
    return RUN_ALL_TESTS();
}
