#pragma once

#include <QString>

#include <optional>

// The chat template in the output llama-completion writes while it loads a
// model with --verbose. The first line that, trimmed of spaces and tabs,
// mentions "chat_template" and has an "=" gives the text after its first "=",
// trimmed of spaces and tabs and then of ' and " characters; it counts when
// more than 10 characters remain. Otherwise: nullopt. Pure.
std::optional<QString> chatTemplateFromLoaderOutput(const QString &text);
