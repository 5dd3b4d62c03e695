// Prints the agent identifiers of ROUNDS settings files (DIRECTORY/<round>/NerovaAgent.conf), one
// a line. It says "ready" and waits for a line on standard input: the test starts several of these
// and releases them together once all are ready, so that they race for every file.
#include "common/Settings.h"

#include <QCoreApplication>

#include <iostream>
#include <string>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::cerr << "usage: agent_identifier_helper DIRECTORY ROUNDS\n";
        return 2;
    }
    const QString directory = QString::fromLocal8Bit(argv[1]);
    const int rounds = std::stoi(argv[2]);
    std::cout << "ready" << std::endl;
    std::string line;
    std::getline(std::cin, line);
    for (int round = 0; round < rounds; ++round) {
        nerova::Settings settings(QStringLiteral("%1/%2/NerovaAgent.conf").arg(directory).arg(round),
                                  QStringLiteral("/nonexistent"));
        std::cout << settings.agentIdentifier().toStdString() << '\n';
    }
    return 0;
}
