#pragma once

#include <QString>
#include <QtGlobal>

// File-style byte counts in decimal units (1 KB = 1000 bytes): "Zero KB",
// "1 byte", "532 bytes", "12 KB", "5.2 MB", "4.37 GB". KB have no decimals,
// MB one, GB and above two; trailing zeros after the point are dropped.
QString formatByteCount(qint64 bytes);
