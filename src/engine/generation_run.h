#pragma once

#include "core/records.h"
#include "engine/reply_backend.h"

#include <QByteArray>
#include <QString>
#include <QStringDecoder>
#include <QStringList>
#include <QUuid>

#include <optional>

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
    QByteArray m_pending; // the start of a character whose end has not arrived
};

// Layers offloaded to the GPU for a model file of the given size on a
// machine with the given memory: 99, 32 or 0. An unknown size counts as 4 GiB.
int gpuLayerCount(qint64 physicalMemoryBytes, std::optional<qint64> modelFileBytes);

// The shortest decimal text that reads back as the same 32-bit float, with
// ".0" added to whole numbers ("0.8", "0.9", "1.0").
QString floatArgument(float value);

// The 21 arguments of a generation run, in order.
QStringList generationArguments(const QString &modelPath, const QString &promptPath, int gpuLayers,
                                const SamplingValues &sampling = {});

// The staged prompt of a conversation: the per-user temporary folder,
// "quorvane-prompt-<ID>.txt".
QString promptFilePath(const QUuid &sessionId);

// Removes the staged prompts (and their half-written files) that a run of a
// killed application left in the temporary folder, unless another engine of
// this user is running: each process holds a shared lock on that folder from
// its first call on, and only one that can lock it alone removes anything.
// Returns how many files went.
int removeLeftoverPrompts();

// Writes the prompt file atomically, readable by its owner only: a new file of
// a random name beside it, renamed into place. Returns the error's
// description on failure; then nothing is left behind.
std::optional<QString> stagePromptFile(const QString &path, const QString &prompt);

// One process per reply: stages the prompt, runs llama-completion with the
// 21 arguments, streams its standard output as pieces, ends a run that stays
// silent too long, and reads the figures from the timing lines the program
// prints on standard error at exit.
class ProcessReplyBackend : public ReplyBackend {
public:
    static constexpr const char *kEngineName = "llama-completion";
    ReplyRun run(const ReplyJob &job, ReplyControl &control) override;
};
