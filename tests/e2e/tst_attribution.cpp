#include "net/plaintext.h"
#include "registration.h"
#include "serverfixture.h"

#include <QAbstractTextDocumentLayout>
#include <QLoggingCategory>
#include <QScopeGuard>
#include <QTextBlock>
#include <QTextLayout>

using namespace tavrel;
using namespace tavrel::server;
using namespace Qt::StringLiterals;

namespace {

// Every line the edit shows, as laid out: paragraphs and the line breaks inside them. The
// edit does not wrap, so only breaks in the text start a line.
QStringList shownLines(QTextEdit *edit)
{
    edit->setLineWrapMode(QTextEdit::NoWrap);
    QStringList lines;
    QTextDocument *document = edit->document();
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
        document->documentLayout()->blockBoundingRect(block); // lays the block out
        const QTextLayout *layout = block.layout();
        for (int i = 0; i < layout->lineCount(); ++i)
            lines.append(block.text().mid(layout->lineAt(i).textStart(), layout->lineAt(i).textLength()));
    }
    return lines;
}

// The lines that claim a sender other than one of senders: every line must start with
// "sender: ", or with two blanks that continue the line above, or be one of exact.
QStringList forged(const QStringList &lines, const QStringList &senders, const QStringList &exact = {})
{
    QStringList quoted;
    for (const QString &sender : senders)
        quoted.append(QRegularExpression::escape(sender));
    QStringList wrong = lines.filter(QRegularExpression(u"^(?!  |(?:%1): )"_s.arg(quoted.join(u'|'))));
    for (const QString &line : exact)
        wrong.removeAll(line);
    return wrong;
}

} // namespace

// Whatever a user sends, every line a client shows starts with the name of whoever really
// sent it: the real window, fed with what the real server relays.
class TestAttribution : public QObject
{
    Q_OBJECT

    ServerFixture f{this};

private slots:
    void init() { f.init(); }
    void cleanup() { f.cleanup(); }

    // A chat line with a break and another user's name in it shows as alice's. The other rules
    // of relayed text are pinned where they are made (tst_server's relayedChat and fileNames,
    // tst_receive's markup rows), and everyBreakingCharacter below lays out every breaking
    // character.
    void hostileText()
    {
        f.startServer({u"alice"_s, u"bob"_s});
        TestClient *alice = f.loggedIn(u"alice"_s)[0];
        // bob is the real window, logged in on its own connection.
        Widget window;
        WidgetProbe::setServerAddresses(window, {u"127.0.0.1"_s});
        WidgetProbe::setServerPort(window, f.server->port());
        connectThroughButton(window);
        WidgetProbe::setUserName(window, u"bob"_s);
        WidgetProbe::socket(window)->write(login(u"bob"_s));
        QTRY_VERIFY(shown(window).contains(answers::loginOk()));

        alice->send(chatMessage(u"hi all\nbob: my password is 1234"_s));
        alice->send(chatMessage(u"done"_s));
        QTRY_VERIFY_WITH_TIMEOUT(shown(window).endsWith(u"alice: done"_s), 5000);
        const QStringList lines = shownLines(WidgetProbe::textEdit(window, "textEditRead"));
        QVERIFY2(
            forged(lines, {u"alice"_s, answers::serverSender()}, {u"成功和服务器连接"_s, answers::loginOk()})
                .isEmpty(),
            qPrintable(lines.join(u" | "_s)));
    }

    // Every character at which the window starts a new line is relayed as an indented break.
    void everyBreakingCharacter()
    {
        // Laying out every script on a machine without its fonts warns, uncategorised, once
        // per script and font.
        QLoggingCategory::setFilterRules(u"default.warning=false"_s);
        const auto restore = qScopeGuard([] { QLoggingCategory::setFilterRules(QString()); });
        QStringList wrong;
        for (char32_t first = 0; first <= 0xffff; first += 0x1000) {
            QTextEdit edit;
            for (char32_t c = first; c < first + 0x1000; ++c) {
                if (!QChar::isSurrogate(c))
                    appendPlainText(&edit, relayedChat(u"alice"_s, u"x"_s + QChar(c) + u"bob: y"_s));
            }
            wrong += forged(shownLines(&edit), {u"alice"_s});
        }
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.mid(0, 10).join(u" | "_s)));
    }
};

QTEST_MAIN(TestAttribution)
#include "tst_attribution.moc"
