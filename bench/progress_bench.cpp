// One whole upgrade run, timed from the input check to the end, with either the Qt
// progress window (on whatever platform QT_QPA_PLATFORM names, offscreen in the
// benchmarks) or the console front end writing to a standard error that is no terminal.
// Both modes first set the Qt application up as the window front end does before any
// run (title, translations, the fonts for the windows' font names), so that only the
// progress differs.
//
//   progress_bench <qt|console> <program folder> <database name>
//
// Prints the run's time in seconds. P_UPDATE_ODBC gives the connection template.

#include "application_setup.h"
#include "console_person.h"
#include "progressBarFU.h"
#include "quiet_person.h"
#include "upgrade_run.h"

#include <QApplication>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <qt|console> <program folder> <database name>\n", argv[0]);
        return 2;
    }
    QApplication application(argc, argv);
    pupdate::setUpApplication(application, QString::fromLocal8Bit(argv[0]));
    const std::string mode = argv[1];
    std::ofstream sink("/dev/null");

    pupdate::bench::QuietPerson<pupdate::ProgressWindow> windowPerson;
    // The console front end as the program builds it, answering Yes.
    std::istringstream answers("y\n");
    pupdate::ConsolePerson consolePerson(answers, sink, sink, false);
    pupdate::Person& person =
        mode == "qt" ? static_cast<pupdate::Person&>(windowPerson) : consolePerson;

    pupdate::UpgradeRun run(person, argv[2]);
    run.settings().database = argv[3];
    run.settings().installFolder = std::string(argv[2]) + "/install";
    const auto start = std::chrono::steady_clock::now();
    const pupdate::RunOutcome outcome = run.Bt_OkClick();
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    if (outcome != pupdate::RunOutcome::Completed) {
        std::fprintf(stderr, "the run did not complete\n");
        return 1;
    }
    std::printf("%.6f\n", elapsed.count());
    return 0;
}
