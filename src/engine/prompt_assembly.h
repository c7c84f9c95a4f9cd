#pragma once

#include "core/records.h"
#include "engine/llama_cpp_manager.h"

#include <QList>
#include <QString>

#include <algorithm>
#include <functional>
#include <optional>

// The prompt handed to llama-completion is a plain transcript:
//
//   System: <system prompt>\n\n
//   User: <message>\n\n
//   Assistant: <reply>\n\n
//   ...
//   User: <prompt>\n\n
//   Assistant:
//
// The model's own chat template is not applied; the program simply continues
// the text after the final "Assistant:". The newest user message carries the
// text of its attached files, earlier ones only name theirs.
//
// Character counts and cuts are in extended grapheme clusters (what a user
// sees as one character), never in UTF-16 units or bytes, so a cut never
// splits an emoji, a flag, a letter from its combining marks, or a surrogate
// pair.
//
// Everything here is pure and safe on any thread; only fitPromptToBudget
// writes a log line.

// The reasons with which a request is refused before it is queued, checked
// in this order. These texts and the two below are shown translated
// (context "Replies"); messages stored without a kind hold the English ones.
inline constexpr const char *kErrorNoModelLoaded = QT_TRANSLATE_NOOP("Replies", "No model loaded");
inline constexpr const char *kErrorAlreadyGenerating = QT_TRANSLATE_NOOP("Replies", "Already generating");
inline constexpr const char *kErrorEmptyPrompt = QT_TRANSLATE_NOOP("Replies", "Empty prompt");

// The notice a stopped reply leaves in its conversation; a stop mark is left
// out of later transcripts.
inline constexpr const char *kGenerationStoppedText = QT_TRANSLATE_NOOP("Replies", "Generation stopped by user.");
// The start of the message a failed reply leaves.
inline constexpr const char *kReplyFailedPrefix = QT_TRANSLATE_NOOP("Replies", "⚠️ Could not generate a reply: ");

// What an assistant's message is: its stored kind, or for a message stored
// without one, what its text shows (the stop text, the failure message, the
// two notices of a model that is not ready, else a reply). Unset for a
// user's message.
MessageKind messageKind(const ChatMessage &message);

// Budget of the transcript, derived from the generation constants: the
// context less the reply's tokens and a margin, at an assumed 3.5 characters
// per token.
inline constexpr int kTokenBudget =
    std::max(512, LlamaCPPManager::defaultContextLength - LlamaCPPManager::defaultMaxTokens - 256);
inline constexpr int kCharBudget = int(kTokenBudget * 3.5);
static_assert(kTokenBudget == 5888 && kCharBudget == 20608);

// Smallest room left for the transcript, however long the system section.
inline constexpr int kMinTranscriptRoom = 256;

// Put in front of a transcript whose beginning was cut (56 characters).
inline constexpr const char *kTruncationMarker = "[Earlier conversation truncated to fit context window]\n\n";

// Supplies the text of one attached file for the transcript (attachment
// extraction). Called only for the files of the newest user message, on the
// thread that builds the transcript.
using AttachmentTextFunction = std::function<QString(const AttachedFile &)>;

// Number of extended grapheme clusters in the text.
qsizetype graphemeCount(const QString &text);
// The first n grapheme clusters of the text (all of it when it has fewer).
QString firstGraphemes(const QString &text, qsizetype n);
// The text without its first n grapheme clusters (empty when it has fewer).
QString dropFirstGraphemes(const QString &text, qsizetype n);

// A prompt of whitespace and line breaks only (or nothing) is refused.
bool isBlankPrompt(const QString &prompt);

// The history that goes into the transcript: every message except stop
// marks. User messages are always kept.
QList<ChatMessage> keptHistory(const QList<ChatMessage> &messages);

// The transcript of the kept messages, in order.
QString assembleConversation(const QList<ChatMessage> &kept, const AttachmentTextFunction &attachmentText);

// True when the prompt must be appended as a user turn of its own: the kept
// history does not already end with a user message of exactly this text.
bool needsPromptTurn(const QList<ChatMessage> &kept, const QString &prompt);

// The whole transcript of a request: the kept history, the prompt as a user
// turn unless the history already ends with it (untrimmed), and the final
// "Assistant:" cue with nothing after the colon.
QString buildTranscript(const QString &prompt, const QList<ChatMessage> &kept,
                        const AttachmentTextFunction &attachmentText);

// The system section for the system prompt stored in the preferences (nullopt
// when none is stored: the default prompt is used). Empty when the prompt is
// blank, otherwise "System: " + trimmed prompt + "\n\n".
QString systemSection(const std::optional<QString> &storedSystemPrompt);

// The prompt written for llama-completion: the system section followed by the
// transcript. When both together exceed kCharBudget characters, the front of
// the transcript is replaced by kTruncationMarker so that the transcript holds
// exactly max(256, kCharBudget - system section) characters; the end, with
// the newest message and the "Assistant:" cue, always stays. The cut is
// logged.
QString fitPromptToBudget(const QString &transcript, const std::optional<QString> &storedSystemPrompt);
