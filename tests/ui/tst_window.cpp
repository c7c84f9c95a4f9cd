// The main window over a home with a program in place: which screen shows, the accessibility of every control, and how
// messages are rendered (parts, code colours, contrast in both appearances, Markdown).
#include "app/reply_engines.h"
#include "ui/catalog_state.h"
#include "ui/code_highlighter.h"
#include "ui/message_parts.h"
#include "ui/text_styling.h"
#include "ui/window_driver.h"

#include <QAccessible>
#include <QClipboard>
#include <QGuiApplication>
#include <QQmlComponent>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QtQml/qqmlextensionplugin.h>

#include <cmath>

Q_IMPORT_QML_PLUGIN(QuorvanePlugin)

using ui::SyntaxRole;
using namespace window_driver;

namespace {

// The name of the screen the window shows now.
QString shownScreen(QQuickWindow *window)
{
    QObject *screen = window->findChild<QObject *>(QStringLiteral("screen"));
    return screen ? screen->property("title").toString() : QString();
}

// Where item sits in the tree: its types (and object names) from the top.
QString itemPath(const QQuickItem *item)
{
    QStringList path;
    for (; item; item = item->parentItem())
        path.prepend(QString::fromLatin1(item->metaObject()->className()).section(QLatin1String("_QML"), 0, 0)
                     + (item->objectName().isEmpty() ? QString() : QLatin1Char('#') + item->objectName()));
    return path.join(QLatin1Char('/'));
}

// What assistive technology reads for item: a name, and a role among those that fit an item of its kind.
QString accessibilityFault(QQuickItem *item, const QList<QAccessible::Role> &roles)
{
    // an item of a popup still opening has no interface yet: its attached properties say the same
    QAccessibleInterface *face = QAccessible::queryAccessibleInterface(item);
    QObject *attached = nullptr;
    for (QObject *child : item->children())
        attached = child->inherits("QQuickAccessibleAttached") ? child : attached;
    if (!face && !attached)
        return QStringLiteral("no accessible name or role");
    const QString name = face ? face->text(QAccessible::Name) : attached->property("name").toString();
    const auto role = face ? face->role() : QAccessible::Role(attached->property("role").toInt());
    if (name.trimmed().isEmpty())
        return QStringLiteral("no accessible name");
    if (!roles.contains(role))
        return QStringLiteral("role %1 does not fit").arg(int(role));
    return {};
}

// The shown items under root that a user can act on and that do not say what they are, each with its path and fault. A
// mouse area stands for the item it covers, which must read as a button.
QStringList unnamedInteractiveItems(QQuickItem *root)
{
    using A = QAccessible;
    const QList<A::Role> buttons = {A::Button, A::ButtonMenu, A::ButtonDropDown, A::CheckBox, A::RadioButton,
                                    A::MenuItem, A::PageTab, A::Link, A::ListItem};
    const QList<QPair<const char *, QList<A::Role>>> kinds = {
        {"QQuickAbstractButton", buttons}, {"QQuickComboBox", {A::ComboBox}}, {"QQuickSlider", {A::Slider}},
        {"QQuickSpinBox", {A::SpinBox}}, {"QQuickTextInput", {A::EditableText}}, {"QQuickTextEdit", {A::EditableText}}};
    QStringList faults;
    window_driver::items(root, [&](QQuickItem *item) {
        if (!item->isEnabled())
            return false;
        if (item->inherits("QQuickMouseArea") && item->parentItem()
            && (item->property("acceptedButtons").toInt() & Qt::LeftButton)) {
            const QString fault = accessibilityFault(item->parentItem(), buttons);
            if (!fault.isEmpty())
                faults << itemPath(item) + QStringLiteral(": covered item has ") + fault;
            return false;
        }
        for (const auto &[kind, roles] : kinds) {
            if (item->inherits(kind) && !item->property("readOnly").toBool()) {
                const QString fault = accessibilityFault(item, roles);
                if (!fault.isEmpty())
                    faults << itemPath(item) + QStringLiteral(": ") + fault;
                break;
            }
        }
        return false;
    });
    return faults;
}

const char *const kRoleNames[] = {"base", "comment", "string", "number", "keyword", "function"};

// The role of every character of needle's last occurrence, or "mixed".
QString roleOf(const QList<SyntaxRole> &roles, const QString &code, const QString &needle)
{
    const qsizetype at = code.lastIndexOf(needle);
    if (at < 0)
        return QStringLiteral("<absent>");
    for (qsizetype i = at + 1; i < at + needle.size(); ++i)
        if (roles.at(i) != roles.at(at))
            return QStringLiteral("mixed");
    return QString::fromLatin1(kRoleNames[int(roles.at(at))]);
}

// WCAG contrast ratio of two opaque colours, from their relative luminance.
double contrastRatio(const QColor &a, const QColor &b)
{
    const auto luminance = [](const QColor &c) {
        const auto linear = [](double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
    };
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// colour laid over an opaque base
QColor over(const QColor &colour, const QColor &base)
{
    const double a = colour.alphaF();
    return QColor::fromRgbF(float(colour.redF() * a + base.redF() * (1 - a)),
                            float(colour.greenF() * a + base.greenF() * (1 - a)),
                            float(colour.blueF() * a + base.blueF() * (1 - a)));
}

} // namespace

class TestWindow : public QObject, public WindowTest {
    Q_OBJECT

private slots:
    // a program in place, so no setup screen; and, as under a screen reader, controls giving their names and roles
    void initTestCase()
    {
        QAccessible::setActive(true);
        QVERIFY(makeHome(QStringLiteral("/bin/true")) && openWindow());
        QCOMPARE(shownScreen(m_window), QStringLiteral("Welcome")); // as on a first launch
    }

    void splitsIntoParts_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QStringList>("parts");
        QTest::newRow("plain prose, trimmed")
            << "\u200B\n  Hello there \uFEFF\u2060" << QStringList{"prose:Hello there"};
        QTest::newRow("empty message") << QString() << QStringList{"prose:"};
        QTest::newRow("fenced block alone") << "\n```swift\nlet a = 1\n```\n" << QStringList{"code[swift]:let a = 1\n"};
        QTest::newRow("no language") << "```\n  x = 1\n```" << QStringList{"code[code]:  x = 1\n"};
        QTest::newRow("unterminated fence") << "Look:\n```python\nprint(1)\n"
                                            << QStringList{"prose:Look:\n```python\nprint(1)"};
        QTest::newRow("language not followed by a line break")
            << "```python print(1)```" << QStringList{"prose:```python print(1)```"};
        QTest::newRow("prose and code alternate")
            << "Intro\n```c\nint a;\n```\n between \n```\nb\n```\nOutro  "
            << QStringList{"prose:Intro", "code[c]:int a;\n", "prose:between", "code[code]:b\n", "prose:Outro"};
        QTest::newRow("blank between blocks dropped") << "```a\n1```\n \u200B\n```b\n2```"
                                                      << QStringList{"code[a]:1", "code[b]:2"};
        QTest::newRow("fences pair up in order") << "```js\nx = `a`\n``` tail ```"
                                                 << QStringList{"code[js]:x = `a`\n", "prose:tail ```"};
    }

    void splitsIntoParts()
    {
        QFETCH(QString, message);
        QFETCH(QStringList, parts);
        QStringList described; // as "prose:<text>" or "code[<language>]:<text>"
        for (const ui::ContentPart &part : ui::splitMessage(message))
            described << (part.isCode ? QStringLiteral("code[%1]:%2").arg(part.language, part.content)
                                      : QStringLiteral("prose:") + part.content);
        QCOMPARE(described, parts);
    }

    void colours_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("language");
        QTest::addColumn<QString>("needle");
        QTest::addColumn<QString>("role");
        QTest::newRow("comment before code") << "  // set up\n# twice\nrun = 1" << "c" << "  // set up" << "comment";
        QTest::newRow("second comment line") << "// a\n\n   # b\nrun = 1" << "c" << "   # b" << "comment";
        QTest::newRow("comment after code") << "x = y\n# later" << "python" << "# later" << "base";
        QTest::newRow("double quotes") << "say \"hi there\" now" << "code" << "\"hi there\"" << "string";
        QTest::newRow("backticks across lines") << "s = `a\nb`" << "js" << "`a\nb`" << "string";
        QTest::newRow("no escapes in strings") << "\"a\\\"b\"" << "code" << "b\"" << "base";
        QTest::newRow("keyword inside a string") << "x = \"return it\"" << "code" << "return" << "keyword";
        QTest::newRow("number") << "pi = 3.14;" << "code" << "3.14" << "number";
        QTest::newRow("digits inside a word") << "abc123 = 0" << "code" << "123" << "base";
        QTest::newRow("base keyword") << "return x" << "rust" << "return" << "keyword";
        QTest::newRow("keyword inside a word") << "classic = 1" << "code" << "class" << "base";
        QTest::newRow("python keyword") << "elif x" << "Python" << "elif" << "keyword";
        QTest::newRow("python keyword elsewhere") << "elif x" << "ruby" << "elif" << "base";
        QTest::newRow("function name") << "total = compute (1)" << "code" << "compute" << "function";
        QTest::newRow("keyword before a parenthesis") << "if (ready) {}" << "swift" << "if" << "function";
        QTest::newRow("markup characters") << "if (a < b && c > d) { s = \"<b>&amp;</b>\"; }" << "code"
                                           << "\"<b>&amp;</b>\"" << "string";
        QTest::newRow("white space kept") << "  // lead\n\tx  =  1\n\n  end   \n" << "code" << "  // lead" << "comment";
        QTest::newRow("empty last lines") << "x = 1\n\n\n" << "code" << "1" << "number";
    }

    void colours()
    {
        QFETCH(QString, code);
        QFETCH(QString, language);
        QFETCH(QString, needle);
        QFETCH(QString, role);
        const QList<SyntaxRole> roles = ui::syntaxRoles(code, language);
        QCOMPARE(roles.size(), code.size());
        QCOMPARE(roleOf(roles, code, needle), role);

        // the rich text gives back every character, white space included (a final line break ends the last line rather
        // than adding an empty one), each in the colour of its role
        QTextDocument document;
        document.setHtml(ui::highlightedHtml(code, language));
        QString shown = document.toPlainText();
        QCOMPARE(shown.replace(QChar::Nbsp, u' '), code.endsWith(u'\n') ? code.chopped(1) : code);
        QTextCursor cursor(&document);
        const qsizetype at = code.lastIndexOf(needle);
        cursor.setPosition(int(at) + 1);
        QCOMPARE(cursor.charFormat().foreground().color().name(), ui::syntaxColour(roles.at(at)).name());
    }

    void cacheHoldsTheRecentResults()
    {
        ui::clearHighlightCache();
        const QString swift = QStringLiteral("swift");
        const auto code = [](int i) { return QStringLiteral("x = %1").arg(i); };
        for (int i = 0; i < 256; ++i)
            ui::highlightCode(code(i), QStringLiteral("Swift"));
        QVERIFY(!ui::isHighlightCached(code(0), QStringLiteral("python")));
        // the oldest entry, once used again, outlives the next one
        QCOMPARE(ui::highlightCode(code(0), swift), ui::highlightedHtml(code(0), swift));
        ui::highlightCode(code(256), swift);
        QCOMPARE(ui::highlightCacheCount(), 256);
        QVERIFY(ui::isHighlightCached(code(0), swift) && ui::isHighlightCached(code(256), swift));
        QVERIFY(!ui::isHighlightCached(code(1), swift));
        // text still streaming is coloured without taking a place
        QCOMPARE(MessageRendering::highlight(code(1), swift, false), ui::highlightedHtml(code(1), swift));
        QVERIFY(!ui::isHighlightCached(code(1), swift));
    }

    void contrastInBothAppearances_data()
    {
        // "code.<n>" is syntax role n on the code background, "tier.<n>" the colour of a device-fit tier,
        // "palette.<text>/<fill>" a pair of the main window's palette (the stock controls' colours), "<text>/<fill>" a
        // theme colour on a theme fill, anything else a theme colour on the window; every text reads at 4.5:1, the
        // error box's edge at 3:1.
        QTest::addColumn<bool>("light");
        QTest::addColumn<QString>("colour");
        for (const bool light : {false, true}) {
            QStringList colours = {"errorBoxBorder", "redText", "redText/controlFill", "redText/raised"};
            for (int role = 0; role <= int(SyntaxRole::Function); ++role)
                colours << QStringLiteral("code.%1").arg(role);
            for (int tier = 0; tier <= 2; ++tier)
                colours << QStringLiteral("tier.%1").arg(tier);
            for (const char *pair : {"windowText/window", "buttonText/button", "toolTipText/toolTipBase", "text/base",
                                     "highlightedText/highlight", "brightText/dark"})
                colours << QStringLiteral("palette.") + QLatin1String(pair);
            for (const QString &colour : colours)
                QTest::newRow(qPrintable((light ? "light " : "dark ") + colour)) << light << colour;
        }
    }

    void contrastInBothAppearances()
    {
        QFETCH(bool, light);
        QFETCH(QString, colour);
        const double minimum = colour == u"errorBoxBorder" ? 3.0 : 4.5;
        // the window's dialogs already exist: they must follow a switch of appearance
        m_state->setAppearanceMode(light ? AppearanceMode::Dark : AppearanceMode::Light);
        QTest::qWait(20);
        m_state->setAppearanceMode(light ? AppearanceMode::Light : AppearanceMode::Dark);
        QQmlComponent component(m_qml.get());
        component.setData("import QtQml\nimport Quorvane\nQtObject { property QtObject theme: Theme }", QUrl());
        std::unique_ptr<QObject> holder(component.create());
        QVERIFY2(holder, qPrintable(component.errorString()));
        const QObject *theme = holder->property("theme").value<QObject *>();
        const QColor window = theme->property("windowBackground").value<QColor>();

        QColor foreground, background = window;
        if (colour.startsWith(u"palette.")) {
            QTest::qWait(20);
            const QObject *dialog = m_window->findChild<QObject *>(QStringLiteral("exchangeAlert"));
            const QObject *palette = dialog ? dialog->property("palette").value<QObject *>() : nullptr;
            QVERIFY(palette);
            const QStringList roles = colour.mid(8).split(u'/');
            foreground = palette->property(qPrintable(roles.at(0))).value<QColor>();
            background = palette->property(qPrintable(roles.at(1))).value<QColor>();
            // menus, dialogs, buttons, fields and tooltips sit with the window, not as light sheets on a dark one
            if (roles.at(1) != u"highlight" && roles.at(1) != u"dark")
                QVERIFY2(contrastRatio(background, window) < 2.5, qPrintable(background.name()));
        } else if (colour.startsWith(u"code.")) {
            foreground = ui::syntaxColour(SyntaxRole(colour.mid(5).toInt()), light);
            background = over(ui::codeBackground(light), window);
        } else if (colour.startsWith(u"tier.")) {
            foreground = CatalogState::tierColour(colour.mid(5).toInt(), light);
        } else {
            // "<text>/<fill>": a theme colour on a theme fill
            const QStringList pair = colour.split(u'/');
            if (pair.size() == 2)
                background = over(theme->property(qPrintable(pair.at(1))).value<QColor>(), window);
            foreground = over(theme->property(qPrintable(pair.at(0))).value<QColor>(), background);
        }
        const double ratio = contrastRatio(foreground, background);
        QVERIFY2(ratio >= minimum, qPrintable(QStringLiteral("%1 on %2: %3").arg(foreground.name(), background.name())
                                                  .arg(ratio)));
    }

    void markdownParagraphsAndLinks_data()
    {
        // The space below each block, in order.
        QTest::addColumn<QString>("markdown");
        QTest::addColumn<QList<qreal>>("below");
        QTest::newRow("paragraphs") << "One.\n\nTwo.\n\nThree." << QList<qreal>{10, 10, 0};
        QTest::newRow("a list stays together") << "Intro:\n\n- a\n- b\n- c\n\nEnd." << QList<qreal>{10, 0, 0, 10, 0};
        QTest::newRow("two lists") << "1. a\n2. b\n\n- c" << QList<qreal>{0, 10, 0};
        QTest::newRow("one line") << "Just this." << QList<qreal>{0};
    }

    void markdownParagraphsAndLinks()
    {
        QFETCH(QString, markdown);
        QFETCH(QList<qreal>, below);
        QTextDocument document;
        document.setMarkdown(markdown + QStringLiteral(" See [the docs](https://example.org)."));
        const QColor link(0x5e, 0xb0, 0xff);
        TextStyling::apply(&document, 10, link);
        QList<qreal> margins;
        int links = 0;
        for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
            margins << block.blockFormat().bottomMargin();
            for (auto it = block.begin(); !it.atEnd(); ++it) {
                const QTextCharFormat format = it.fragment().charFormat();
                QCOMPARE(format.foreground().color() == link, format.isAnchor());
                links += format.isAnchor();
            }
        }
        QCOMPARE(margins, below);
        QCOMPARE(links, 1);
    }

    void everyControlSaysWhatItIs_data()
    {
        QTest::addColumn<QString>("screen");
        // installation and setup take precedence over the chosen screen, which shows again once llama.cpp is verified
        for (const char *screen : {"Welcome", "Chat", "Chat with messages", "Models", "Settings", "Setup required",
                                    "Installing llama.cpp", "Settings, kept loaded", "Settings, server elsewhere"})
            QTest::newRow(screen) << QString::fromLatin1(screen);
    }

    // On every screen, and in every popup that screen can open (menus, alerts, sheets and each tab of the model
    // picker), every control a user can act on has an accessible name and a role that fits it.
    void everyControlSaysWhatItIs()
    {
        QFETCH(QString, screen);
        if (screen == QLatin1String("Models")) {
            AIModel model = AIModel::make(QStringLiteral("Tiny"), QStringLiteral("Local File"));
            model.isDownloaded = true;
            m_state->addModel(model);
        }
        const QList<QPair<QString, AppView>> views = {{"Welcome", AppView::Welcome}, {"Chat", AppView::Chat},
                                                      {"Models", AppView::Models}, {"Settings", AppView::Settings}};
        for (const auto &[prefix, view] : views)
            if (screen.startsWith(prefix))
                m_state->setCurrentView(view);
        if (screen == QLatin1String("Chat with messages")) {
            m_state->createNewChat();
            m_state->addMessage(ChatMessage::make(QStringLiteral("Question"), true));
            m_state->addMessage(ChatMessage::assistant(QStringLiteral("Some `code`:\n```cpp\nint x;\n```"),
                                                       MessageKind::Reply));
        }
        m_state->engines().setMode(screen.endsWith(QLatin1String("kept loaded")) ? QStringLiteral("localServer")
                          : screen.endsWith(QLatin1String("elsewhere")) ? QStringLiteral("remoteServer")
                                                                         : QStringLiteral("process"));
        m_engine->setLlamaCPPVerified(screen != QLatin1String("Setup required"));
        m_engine->setInstallingLlamaCPP(screen == QLatin1String("Installing llama.cpp"));
        const QString shown = screen.section(QLatin1Char(','), 0, 0).remove(QLatin1String(" with messages"));
        QTRY_COMPARE(shownScreen(m_window), shown);
        // with no status yet a placeholder shows, and the progress is cut to a whole percent (not 28 for 0.29)
        for (const auto &[progress, percent] : {std::pair(0.526, "52%"), std::pair(0.29, "29%")}) {
            m_engine->setLlamaCPPInstallProgress(progress);
            if (shown == u"Installing llama.cpp")
                QTRY_VERIFY(shownText(QStringLiteral("Preparing installation...")) && shownText(percent));
        }
        QTest::qWait(100); // lists lay out their rows

        QStringList faults = unnamedInteractiveItems(root());
        for (QObject *popup : m_window->findChildren<QObject *>()) {
            if (!popup->inherits("QQuickPopup") || popup->inherits("QQuickToolTip"))
                continue;
            QMetaObject::invokeMethod(popup, "open");
            QTRY_VERIFY(popup->property("opened").toBool());
            const int tabs = popup->property("tabTitles").toList().size();
            for (int tab = 0; tab < std::max(tabs, 1); ++tab) {
                if (tabs > 0)
                    popup->setProperty("selectedTab", tab);
                // rows made for the tab get their bindings a moment later
                QQuickItem *sheet = popup->property("contentItem").value<QQuickItem *>()->parentItem();
                QStringList unnamed;
                QTRY_VERIFY2((unnamed = unnamedInteractiveItems(sheet)).isEmpty(),
                             qPrintable(unnamed.join(QLatin1Char('\n'))));
            }
            QMetaObject::invokeMethod(popup, "close");
            QTRY_VERIFY(!popup->property("visible").toBool());
        }
        faults.removeDuplicates();
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QLatin1Char('\n'))));

        // Ctrl+F puts the keyboard in the conversation search on every screen of the main layout
        if (QStringList{"Chat", "Models", "Settings"}.contains(shownScreen(m_window))) {
            auto *search = m_window->findChild<QQuickItem *>(QStringLiteral("searchField"));
            QVERIFY(search && !search->hasActiveFocus());
            QTest::keyClick(m_window, Qt::Key_F, Qt::ControlModifier);
            QTRY_VERIFY(search->hasActiveFocus());
            search->setFocus(false);
        }
    }

    // A user's fenced text stays one bubble; a reply's code block has a header, a Copy button and its code shown with
    // the markup escaped; a long line scrolls sideways under a sideways wheel, an upright one over it scrolls the list.
    void messageViewShowsPartsAndCopies()
    {
        m_state->setCurrentView(AppView::Chat);
        m_state->createNewChat();
        for (int i = 0; i < 6; ++i)
            m_state->addMessage(ChatMessage::make(QStringLiteral("Message %1").arg(i), i % 2 == 0));
        const QList<AttachedFile> notes = {{QUuid(), "notes.txt", "/tmp/notes.txt", "txt", 5200}};
        m_state->addMessage(ChatMessage::make(QStringLiteral("Run:\n```\nls -l\n```"), true, notes));
        const QString longBlock = "```sh\n" + QStringLiteral("echo long line; ").repeated(60) + "\n```";
        for (const QString &reply : {longBlock, QStringLiteral("Try this:\n```\necho '<hi>' && ls\n```\nDone.")})
            m_state->addMessage(ChatMessage::assistant(reply, MessageKind::Reply));
        QTRY_COMPARE(texts().count(QStringLiteral("Run:\n```\nls -l\n```")), 1); // once the rows have faded in
        QQuickItem *list = control(QStringLiteral("messageList"));
        QTRY_VERIFY(list->property("atYEnd").toBool());
        QCOMPARE(texts().count(QStringLiteral("CODE")), 1);
        QCOMPARE(controls(QStringLiteral("notes.txt, 5 KB")).size(), 1);
        QCOMPARE(controls(QStringLiteral("Copy")).size(), 2);
        const QList<QQuickItem *> codeTexts = controls(QStringLiteral("codeText"));
        QCOMPARE(codeTexts.size(), 2);
        QQuickItem *code = codeTexts.at(codeTexts.first()->property("length").toInt() > 100 ? 1 : 0);
        QQuickItem *longCode = codeTexts.at(code == codeTexts.first() ? 1 : 0);
        QString shownCode;
        QVERIFY(QMetaObject::invokeMethod(code, "getText", Q_RETURN_ARG(QString, shownCode), Q_ARG(int, 0),
                                          Q_ARG(int, code->property("length").toInt())));
        QCOMPARE(shownCode, QStringLiteral("echo '<hi>' && ls"));
        QQuickItem *block = code;
        while (!isType(block, "CodeBlockView"))
            block = block->parentItem();
        QQuickItem *button = control(QStringLiteral("Copy"), block);
        const auto bottom = [](const QQuickItem *item) { return item->mapToScene(QPointF(0, item->height())).y(); };
        QTRY_VERIFY(bottom(button) < bottom(list)); // the list has kept its end in view
        click(button);
        QTRY_COMPARE(accessibleName(button), QStringLiteral("Copied!"));
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("echo '<hi>' && ls\n"));
        // the label goes back by itself
        QTRY_COMPARE_WITH_TIMEOUT(accessibleName(button), QStringLiteral("Copy"), 5000);

        auto *codeScroller = longCode->parentItem()->parentItem();
        const double listY = list->property("contentY").toDouble();
        const auto wheel = [&](QPoint angle) {
            const QPointF at = longCode->mapToScene(QPointF(40, longCode->height() / 2));
            QWheelEvent event(at, m_window->mapToGlobal(at), QPoint(), angle, Qt::NoButton, Qt::NoModifier,
                              Qt::NoScrollPhase, false);
            event.setTimestamp(ulong(QDateTime::currentMSecsSinceEpoch()));
            QGuiApplication::sendEvent(m_window, &event);
        };
        wheel(QPoint(-120, 0));
        QTRY_VERIFY(codeScroller->property("contentX").toDouble() > 0);
        QCOMPARE(list->property("contentY").toDouble(), listY);
        wheel(QPoint(0, 120));
        QTRY_VERIFY(list->property("contentY").toDouble() < listY);
    }
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
