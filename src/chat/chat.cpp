#include "ui_widget.h"
#include "widget.h"

#include "protocol.h"

#include <QTcpSocket>
#include <QTimer>

namespace {

constexpr int kSendIntervalMs = 1000;

} // namespace

void Widget::on_btnSend_clicked()
{
    const QString text = ui->textEditWrite->toPlainText();
    // An empty text gets the interval notice too: the user has nothing to send yet.
    if (!canSend || text.isEmpty()) {
        ui->textEditRead->append(QStringLiteral("两次发送需间隔1秒以上"));
        return;
    }
    // A refused text stays in the editor so that the user can shorten it and send at once.
    if (text.size() > tavrel::kMaxChatLength) {
        ui->textEditRead->append(QStringLiteral("一次只能发送长度2000以内的文本"));
        return;
    }

    tavrel::writeZeroTerminated(socket, tavrel::chatMessage(text));
    ui->textEditWrite->clear();
    canSend = false;
    // A coarse timer may fire up to 5 % early, which would let two sends come closer than
    // the second the server counts on.
    QTimer::singleShot(kSendIntervalMs, Qt::PreciseTimer, this, [this] { canSend = true; });
}
