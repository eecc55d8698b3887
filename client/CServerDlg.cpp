#include "CServerDlg.h"

#include "LangText.h"
#include "UserInfoStore.h"

#include <QPushButton>

#include <QDialogButtonBox>
#include <QPlainTextEdit>
#include <QVBoxLayout>

CServerDlg::CServerDlg(const QString& userName, QWidget* parent) : QDialog(parent), m_userName(userName)
{
    setObjectName(QStringLiteral("CServerDlg"));
    setWindowTitle(LangText("UserLogin", "ServerTitle"));
    m_server = new QPlainTextEdit(this);
    m_server->setObjectName(QStringLiteral("server"));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->setObjectName(QStringLiteral("buttons"));
    buttons->button(QDialogButtonBox::Ok)->setText(LangText("Common", "OK"));
    buttons->button(QDialogButtonBox::Cancel)->setText(LangText("Common", "Cancel"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_server);
    layout->addWidget(buttons);
    resize(420, 160);
    connect(buttons, &QDialogButtonBox::accepted, this, &CServerDlg::OnOK);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    if (const auto user = UserInfoStore::FindUser(m_userName)) {
        m_server->setPlainText(user->server);
    }
}

void CServerDlg::OnOK()
{
    const QString text = m_server->toPlainText();
    if (!text.isEmpty()) {
        UserInfoStore::SetServer(m_userName, text);
    }
    accept();
}
