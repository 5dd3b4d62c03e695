#pragma once

#include <QString>
#include <QTextStream>

namespace nerova {

// Where a command writes: its normal output and its diagnostics. The program binds it to
// stdout and stderr; tests bind it to strings.
class Console {
public:
    Console(QTextStream& out, QTextStream& err) : out_(out), err_(err) {}

    QTextStream& out() { return out_; }
    QTextStream& err() { return err_; }
    // Standard error, after the program's name: for a line that says what went wrong.
    QTextStream& error() { return err_ << "nerova-agent: "; }

private:
    QTextStream& out_;
    QTextStream& err_;
};

// Exit codes shared by the commands.
namespace exitcode {
inline constexpr int success = 0;
inline constexpr int failure = 1;    // the command ran and the answer is "no" or the probe failed
inline constexpr int usage = 2;      // bad arguments or unreadable input
inline constexpr int evaluation = 3; // the input was read but evaluating it raised an error
inline constexpr int lostBus = 4;    // `run` lost its session bus: a supervisor should start it again
} // namespace exitcode

} // namespace nerova
