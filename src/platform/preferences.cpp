#include "platform/preferences.h"

#include "platform/logging.h"
#include "platform/paths.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>

#include <unistd.h>

namespace {

// Whether the file as written holds every key (those spelled plainly in the
// INI text) and ends with a line break: a file cut short lacks one or the
// other.
bool holdsEveryKey(const QString &path, const QStringList &keys)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray bytes = file.readAll();
    if (bytes.isEmpty() || !bytes.endsWith('\n'))
        return keys.isEmpty() && bytes.isEmpty();
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_-]+$"));
    for (const QString &key : keys) {
        const QByteArray line = key.toLatin1() + '=';
        if (plain.match(key).hasMatch() && !bytes.startsWith(line) && !bytes.contains('\n' + line))
            return false;
    }
    return true;
}

} // namespace

Preferences::Preferences() : m_file(paths::preferencesFile()) { open(); }

Preferences::~Preferences()
{
    // one last try for writes that could not be saved
    if (!m_unsaved.isEmpty()) {
        prepareWrite();
        if (!sync())
            qCInfo(lcAppState, "Error: could not write preferences to %s", qPrintable(m_settings->fileName()));
    }
}

void Preferences::open()
{
    m_settings.reset();
    if (m_file.isEmpty())
        m_settings = std::make_unique<QSettings>(QStringLiteral("Quorvane"), QStringLiteral("Quorvane"));
    else
        m_settings = std::make_unique<QSettings>(m_file, QSettings::IniFormat);
    m_settings->setFallbacksEnabled(false);
    if (m_file.isEmpty())
        return;
    // The INI reader parses sections lazily; list the keys so that a file it
    // cannot parse shows now, before a write replaces it.
    m_settings->allKeys();
    if (m_settings->status() == QSettings::FormatError)
        setAsideUnreadable();
}

void Preferences::setAsideUnreadable()
{
    QList<QPair<QString, QVariant>> readable;
    const QStringList keys = m_settings->allKeys();
    for (const QString &key : keys)
        if (!key.isEmpty())
            readable.append({key, m_settings->value(key)});
    m_settings.reset();

    QString copy = m_file + QStringLiteral(".unreadable");
    for (int n = 2; QFile::exists(copy) && n < 100; ++n)
        copy = m_file + QStringLiteral(".unreadable-%1").arg(n);
    const bool kept = QFile::rename(m_file, copy);
    if (kept)
        qCInfo(lcAppState, "Error: could not read preferences from %s; kept the file as %s", qPrintable(m_file),
               qPrintable(copy));
    else
        qCInfo(lcAppState, "Error: could not read preferences from %s", qPrintable(m_file));

    m_settings = std::make_unique<QSettings>(m_file, QSettings::IniFormat);
    m_settings->setFallbacksEnabled(false);
    if (!kept || readable.isEmpty())
        return;
    for (const auto &[key, value] : std::as_const(readable))
        m_settings->setValue(key, value);
    m_settings->sync();
}

QString Preferences::fileName() const { return m_settings->fileName(); }

bool Preferences::contains(const QString &key) const { return m_settings->contains(key); }

QVariant Preferences::value(const QString &key) const { return m_settings->value(key); }

std::optional<QByteArray> Preferences::data(const QString &key) const
{
    const QVariant v = m_settings->value(key);
    if (!v.isValid())
        return std::nullopt;
    // Written by us as a byte array; a hand-edited plain string still holds
    // bytes that the reader can judge.
    if (v.typeId() == QMetaType::QByteArray)
        return v.toByteArray();
    if (v.typeId() == QMetaType::QString)
        return v.toString().toUtf8();
    return std::nullopt;
}

std::optional<QString> Preferences::string(const QString &key) const
{
    const QVariant v = m_settings->value(key);
    if (v.typeId() == QMetaType::QString)
        return v.toString();
    return std::nullopt;
}

std::optional<bool> Preferences::boolean(const QString &key) const
{
    const QVariant v = m_settings->value(key);
    if (v.typeId() == QMetaType::Bool)
        return v.toBool();
    // the INI store hands booleans back as the text it wrote
    if (v.typeId() == QMetaType::QString) {
        const QString s = v.toString();
        if (s == QLatin1String("true"))
            return true;
        if (s == QLatin1String("false"))
            return false;
    }
    return std::nullopt;
}

bool Preferences::setData(const QString &key, const QByteArray &value) { return write(key, QVariant(value)); }

bool Preferences::setString(const QString &key, const QString &value) { return write(key, QVariant(value)); }

bool Preferences::setBool(const QString &key, bool value) { return write(key, QVariant(value)); }

bool Preferences::setInt(const QString &key, int value) { return write(key, QVariant(value)); }

bool Preferences::remove(const QString &key) { return write(key, std::nullopt); }

// QSettings keeps the first error it met for the life of the object, so a
// store that failed once would report every later write as failed too. Open
// it afresh before writing, so that each write is judged on its own (and a
// file that turned unreadable meanwhile is set aside, not overwritten), and
// replay the writes that failed before.
void Preferences::prepareWrite()
{
    if (m_settings->status() == QSettings::NoError && m_unsaved.isEmpty())
        return;
    open();
    for (const auto &[key, value] : std::as_const(m_unsaved)) {
        if (value)
            m_settings->setValue(key, *value);
        else
            m_settings->remove(key);
    }
}

bool Preferences::write(const QString &key, const std::optional<QVariant> &value)
{
    prepareWrite();
    if (value)
        m_settings->setValue(key, *value);
    else
        m_settings->remove(key);
    if (sync()) {
        m_unsaved.clear();
        return true;
    }
    m_unsaved.append({key, value});
    qCInfo(lcAppState, "Error: could not write preferences to %s", qPrintable(m_settings->fileName()));
    return false;
}

// QSettings replaces the file even when the end of the new one could not be
// written (its save file does not check the final flush), so a full disk
// would leave a file cut short. The file as it was is kept by a second link
// while the store writes; a new file found cut short is replaced by it.
bool Preferences::sync()
{
    if (m_file.isEmpty()) {
        m_settings->sync();
        return m_settings->status() == QSettings::NoError;
    }
    const QByteArray path = QFile::encodeName(m_file);
    const QByteArray previous = path + ".previous";
    ::unlink(previous.constData());
    const bool existed = QFileInfo::exists(m_file);
    const bool linked = existed && ::link(path.constData(), previous.constData()) == 0;
    m_settings->sync();
    bool written = m_settings->status() == QSettings::NoError;
    if (written && !holdsEveryKey(m_file, m_settings->allKeys())) {
        written = false;
        if (linked)
            ::rename(previous.constData(), path.constData());
        else if (!existed)
            ::unlink(path.constData());
    }
    ::unlink(previous.constData());
    return written;
}
