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

// text as a whole number from minimum to maximum; anything else is refused in the words of option.
inline qint16 WholeNumber(const QString& option, const QString& text, qint16 minimum, qint16 maximum)
{
    bool ok = false;
    const int number = text.toInt(&ok);
    if (!ok || number < minimum || number > maximum)
        throw UsageError(QStringLiteral("%1 takes a whole number from %2 to %3, not \"%4\"")
                             .arg(option)
                             .arg(minimum)
                             .arg(maximum)
                             .arg(text));
    return static_cast<qint16>(number);
}

} // namespace kelvo::cli
