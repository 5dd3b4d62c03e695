#pragma once

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTextStream>

#include <exception>
#include <memory>
#include <optional>

namespace nerova::test {

// The repository's root, for sample files.
QString sourceDir();

// Writes `contents` to `name` inside `dir` and yields the file's path.
QString writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& contents);

// Captures what a command writes to its two streams.
class ConsoleCapture {
public:
    ConsoleCapture();
    QTextStream& out() { return out_; }
    QTextStream& err() { return err_; }
    QString outText();
    QString errText();

private:
    QString outBuffer_;
    QString errBuffer_;
    QTextStream out_;
    QTextStream err_;
};

// Runs `task` on a nested event loop to its end and returns its value or rethrows its error.
// (QCoro::waitFor never returns when the task raises.)
template <typename T>
T waitFor(QCoro::Task<T> task)
{
    std::optional<T> value;
    std::exception_ptr error;
    const auto settle = [](QCoro::Task<T> awaited, std::optional<T>& result,
                           std::exception_ptr& failure) -> QCoro::Task<void> {
        try {
            result.emplace(co_await awaited);
        } catch (...) {
            failure = std::current_exception();
        }
    };
    QCoro::waitFor(settle(std::move(task), value, error));
    if (error) {
        std::rethrow_exception(error);
    }
    return std::move(*value);
}

} // namespace nerova::test
