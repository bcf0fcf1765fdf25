#pragma once

#include "ui/MessageBoxes.h"

#include <QStringList>

namespace kelvo::test {

// Answers the windows' questions as told, at once; keeps each text shown, and stop boxes as "title|text".
class RecordingMessages final : public MessageBoxes
{
public:
    void stop(QWidget*, const QString& text, const QString& title) override
    {
        texts << text;
        stops << title + u'|' + text;
    }
    void warning(QWidget*, const QString& text, const QString&) override { texts << text; }
    void information(QWidget*, const QString& text, const QString&) override { texts << text; }
    void question(QWidget*, const QString& text, std::function<void(bool)> answered, const QString&) override
    {
        texts << text;
        answered(answer);
    }
    QString last() const { return texts.isEmpty() ? QString() : texts.back(); }

    QStringList texts, stops;
    bool answer = true;
};

} // namespace kelvo::test
