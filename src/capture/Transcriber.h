#pragma once

#include "capture/SpeechDecoder.h"

#include <QList>
#include <QLocale>
#include <QString>

#include <optional>

// Turns a recorded audio file into text on this machine, at the end of a recording.
namespace Transcriber {

struct Utterance
{
    double offset = 0; // seconds from the start of the file
    QString text; // never empty
};

struct Outcome
{
    QList<Utterance> utterances;
    QString engine = QStringLiteral("PocketSphinx");
    bool onDevice = true; // the audio never leaves the machine
    std::optional<QString> error;
};

// Joins words into utterances: a silence of more than a second starts a new one.
QList<Utterance> group(const QList<SpeechDecoder::Word> &words);

// Decodes the whole file, whatever its rate and channels. Never fails: the reason is in the
// outcome's error. Blocks for a while: never call it on the main thread.
Outcome transcribe(const QString &path, const QLocale &locale);

} // namespace Transcriber
