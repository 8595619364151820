#include "capture/Dictation.h"

#include "capture/SpeechDecoder.h"
#include "core/Refused.h"
#include "core/SpeechModel.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <QCoro/QCoroTimer>

#include <chrono>
#include <stdexcept>

using namespace std::chrono_literals;

namespace {

const QString microphoneRefusal = QStringLiteral(
    "Allow the microphone for Velko AI: System Settings → Privacy & Security → Microphone.");
const QString speechRefusal =
    QStringLiteral("Allow Speech Recognition for Velko AI: System Settings → Privacy & "
                   "Security → Speech Recognition.");
const QString recognizerRefusal =
    QStringLiteral("This Mac can't turn speech into text by itself — type it instead.");

} // namespace

// One dictation's decoder; used only on the decoding queue until the dictation ends.
struct Dictation::Session
{
    std::unique_ptr<SpeechDecoder> decoder;
    QString text;
};

Dictation &Dictation::shared()
{
    static Dictation instance;
    return instance;
}

Dictation::Dictation() = default;

Dictation::~Dictation()
{
    finish();
}

void Dictation::setDelivery(Delivery delivery)
{
    m_delivery = std::move(delivery);
}

QCoro::Task<void> Dictation::start()
{
    if (AudioSource::microphoneAvailability() != AudioSource::Availability::Ready)
        throw PageBridge::Refused(microphoneRefusal);
    if (!SpeechModel::installed())
        throw PageBridge::Refused(speechRefusal);
    // The one model serves every locale: without a recognizer of its own, the user's
    // locale is dictated in American English.
    auto session = std::make_shared<Session>();
    session->decoder = SpeechDecoder::create(nullptr);
    if (!session->decoder)
        throw PageBridge::Refused(recognizerRefusal);

    finish();
    const quint64 generation = m_generation;
    m_said.clear();
    m_session = session;
    m_source = AudioSource::create(AudioSource::Device::Microphone, AudioSource::Layout::Speech);
    const auto error = m_source->start([this, session, generation](AudioBuffer buffer) {
        m_queue.async([this, session, generation, buffer = std::move(buffer)] {
            session->decoder->process(reinterpret_cast<const int16_t *>(buffer.data.constData()),
                                      size_t(buffer.frames));
            QString text = session->decoder->text();
            if (text == session->text)
                return;
            session->text = text;
            QMetaObject::invokeMethod(
                this,
                [this, generation, text] {
                    if (generation != m_generation)
                        return;
                    m_said = text;
                    if (m_delivery)
                        m_delivery(text);
                },
                Qt::QueuedConnection);
        });
    });
    if (error) {
        finish();
        throw std::runtime_error(error->toStdString());
    }
    co_return;
}

QCoro::Task<QString> Dictation::stop()
{
    const quint64 generation = m_generation;
    const std::shared_ptr<Session> session = m_session;
    if (m_source)
        m_source->stop();
    if (session)
        m_queue.async([session] {
            session->decoder->finish();
            session->text = session->decoder->text();
        });
    co_await QCoro::sleepFor(500ms);
    if (session && generation == m_generation) {
        m_queue.drain();
        finish();
        if (session->text != m_said) {
            m_said = session->text;
            if (m_delivery)
                m_delivery(m_said);
        }
    }
    // A copy: QCoro 0.8 moves from an lvalue given to co_return.
    QString said = m_said;
    co_return said;
}

void Dictation::finish()
{
    // Updates still on their way from this dictation are dropped.
    ++m_generation;
    if (m_source) {
        m_source->stop();
        m_source.reset();
    }
    m_session.reset();
}

QString Dictation::eventScript(const QString &text)
{
    const QByteArray detail =
        QJsonDocument(QJsonObject {{QStringLiteral("text"), text}}).toJson(QJsonDocument::Compact);
    return QStringLiteral("window.dispatchEvent(new CustomEvent('velko-voice', {detail: %1}))")
        .arg(QString::fromUtf8(detail));
}
