// Makes the PostgreSQL cluster that the test programs of one test run copy.

#include <exception>
#include <iostream>

#include "databases.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: pg_template <folder>\n";
        return 2;
    }
    try {
        pupdate::testing::PostgresCluster::makeTemplate(argv[1]);
    } catch (const std::exception& error) {
        std::cerr << error.what() << '\n';
        return 1;
    }
    return 0;
}
