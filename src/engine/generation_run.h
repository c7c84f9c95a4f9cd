#pragma once

#include "core/records.h"

#include <QByteArray>
#include <QPointer>
#include <QString>
#include <QStringDecoder>
#include <QStringList>
#include <QUuid>

#include <functional>
#include <optional>

class LlamaCPPManager;

// One request for a reply, as handed to the process queue.
struct GenerationRequest {
    AIModel model;            // only filePath (and name, for logs) are used
    QString transcript;       // ends with the "Assistant:" cue
    QUuid sessionId;
    std::function<void(const QString &)> onPartial; // may be empty
    std::function<void(const QString &)> onComplete;
    QString stopText;
    quint64 number = 0;       // its place in the order of requests (LlamaCPPManager)
};

// Decodes a byte stream as UTF-8 piece by piece. A character split across
// two reads comes out once, whole, when its last byte has arrived. An invalid
// sequence becomes U+FFFD as soon as a following byte shows that it cannot
// complete, so one bad byte never holds back the rest of the stream. An
// incomplete character at the very end is never emitted.
class Utf8StreamDecoder {
public:
    Utf8StreamDecoder();
    QString decode(const QByteArray &bytes);

private:
    QStringDecoder m_decoder;
};

// Layers offloaded to the GPU for a model file of the given size on a
// machine with the given memory: 99, 32 or 0. An unknown size counts as 4 GiB.
int gpuLayerCount(qint64 physicalMemoryBytes, std::optional<qint64> modelFileBytes);

// The shortest decimal text that reads back as the same 32-bit float, with
// ".0" added to whole numbers ("0.8", "0.9", "1.0").
QString floatArgument(float value);

// The 21 arguments of a generation run, in order.
QStringList generationArguments(const QString &modelPath, const QString &promptPath, int gpuLayers);

// The staged prompt of a conversation: the per-user temporary folder,
// "quorvane-prompt-<ID>.txt".
QString promptFilePath(const QUuid &sessionId);

// Writes the prompt file atomically, readable by its owner only: a new file of
// a random name beside it, renamed into place. Returns the error's
// description on failure; then nothing is left behind.
std::optional<QString> stagePromptFile(const QString &path, const QString &prompt);

// The job the engine puts on its process queue for one request: runs
// llama-completion, streams output to onPartial, reports exactly one text to
// onComplete on the main thread.
void runGeneration(QPointer<LlamaCPPManager> engine, GenerationRequest request);
