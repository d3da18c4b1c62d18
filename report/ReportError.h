#pragma once

#include <QString>

#include <stdexcept>

namespace report {

// Every failure of the report engine: a definition that does not load, a
// variable that does not evaluate, a printer that is missing or refuses the
// job, a file that cannot be written. what() is the message for the operator.
class ReportError : public std::runtime_error
{
public:
    explicit ReportError(const QString &message) : std::runtime_error(message.toStdString()) {}

    QString message() const { return QString::fromStdString(what()); }
};

} // namespace report
