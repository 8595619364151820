#pragma once

#include "core/SerialQueue.h"
#include "platform/AudioSource.h"

#include <QObject>
#include <QString>

#include <QCoro/QCoroTask>

#include <functional>
#include <memory>

class SpeechDecoder;

// Live dictation for the page: records the default microphone, decodes it on this machine
// while the user speaks, and hands the growing text to the page.
class Dictation : public QObject
{
    Q_OBJECT

public:
    static Dictation &shared();

    // Receives the whole text heard so far, on the main thread, on every change.
    using Delivery = std::function<void(const QString &text)>;
    void setDelivery(Delivery delivery);

    // Starts listening. Throws PageBridge::Refused when there is no microphone or no usable
    // speech model, and std::runtime_error when the recording cannot start.
    QCoro::Task<void> start();
    // Stops listening and returns the text, after half a second for the last words. Without a
    // running dictation it returns the last one's text.
    QCoro::Task<QString> stop();

    // The script that hands a text to the page as its "velko-voice" event.
    static QString eventScript(const QString &text);

private:
    struct Session;

    Dictation();
    ~Dictation() override;
    void finish();

    SerialQueue m_queue {"velko.capture.dictation"};
    std::unique_ptr<AudioSource> m_source;
    std::shared_ptr<Session> m_session;
    quint64 m_generation = 0;
    QString m_said;
    Delivery m_delivery;
};
