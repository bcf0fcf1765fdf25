#pragma once

#include <QString>

#include <stdexcept>

namespace kelvo::cli {

// Input the command line cannot act on: an unknown command or option, a bad value, an unknown set, a
// set the properties rules refuse. Its message is one line for a person; the exit status is 2.
class UsageError final : public std::runtime_error
{
public:
    explicit UsageError(const QString& message)
        : std::runtime_error(message.toStdString()), m_message(message)
    {}

    const QString& message() const { return m_message; }

private:
    QString m_message;
};

} // namespace kelvo::cli
