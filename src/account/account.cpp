#include "ui_widget.h"
#include "widget.h"

#include "digest.h"
#include "protocol.h"

#include <QTcpSocket>
#include <QTimer>

namespace {

constexpr int kMinPasswordLength = 6;
// Keeps one user from flooding the server's mail verification with requests.
constexpr int kRegistrationLockoutMs = 60 * 1000;

} // namespace

QString Widget::passwdDigest(const QString &text)
{
    return tavrel::md5Hex(text);
}

void Widget::on_btnLog_clicked()
{
    // Sending stays off until the server accepts this login.
    setSendButtonsEnabled(false);
    userName = ui->lineEditName->text();
    const QString digest = passwdDigest(passwdDigest(ui->lineEditPasswd->text()) + passwdSalt);
    tavrel::writeZeroTerminated(socket, tavrel::loginMessage(userName, digest));
}

void Widget::on_btnReg_clicked()
{
    // Sending waits for the next successful login, also when the request is refused below.
    setSendButtonsEnabled(false);
    const QString name = ui->lineEditName->text();
    const QString email = ui->lineEditEmail->text();
    const QString code = ui->lineEditCheckCode->text();
    const QString password = ui->lineEditPasswd->text();
    const QString repeat = ui->lineEditPasswd2->text();

    // A short password is reported first, whatever the repeat holds.
    if (password.size() < kMinPasswordLength) {
        ui->textEditRead->append(QStringLiteral("错误：密码长度小于6！"));
        return;
    }
    if (password != repeat) {
        ui->textEditRead->append(QStringLiteral("错误：两次输入的密码不一致！"));
        return;
    }

    const QString digest = passwdDigest(passwdDigest(password) + passwdSalt);
    tavrel::writeZeroTerminated(socket, tavrel::registrationMessage(name, email, code, digest));

    ui->btnReg->setEnabled(false);
    ui->textEditRead->append(QStringLiteral("延时一分钟后才能再次点击注册"));
    QTimer::singleShot(kRegistrationLockoutMs, Qt::CoarseTimer, this,
                       [this] { ui->btnReg->setEnabled(true); });
}
