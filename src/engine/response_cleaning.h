#pragma once

#include <QString>

// Turns the raw standard output of one llama-completion run into the reply
// that is stored and shown. The program continues a plain "User:" /
// "Assistant:" transcript, so its output may echo the role labels, carry the
// end-of-turn tokens of several model families, end with llama.cpp's
// end-of-input notice, and hold stray spacing. The steps, in order:
//
//  1. an echoed user turn at the start is dropped up to and including the
//     first "\n\nAssistant:" (any letter case) or, failing that, "\n\nA:";
//  2. everything from the end-of-input notice "> EOF by user" on is dropped;
//  3. the end tokens are removed wherever they stand;
//  4. one "\nUser:", "\nAssistant:", "User:", "Assistant:" label is dropped
//     from the start, each tested once in that order;
//  5. "\nUser:" and then "\nAssistant:" are dropped from the end;
//  6. the ends are trimmed with the reply trim set;
//  7. runs of three or more line breaks become two;
//  8. outside fenced code blocks, runs of two or more spaces become one.
//
// An empty result means the run produced no reply. Pure: no state, no
// logging, safe on any thread.
QString cleanResponse(const QString &raw);

// Step 8 alone: collapses runs of spaces on every line that is not a fence
// line ("```" after optional spaces and tabs) and not inside a fenced block.
// A fence that is opened and never closed protects every line after it.
QString collapseSpacesOutsideCode(const QString &text);
