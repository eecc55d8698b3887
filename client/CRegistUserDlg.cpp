#include "CRegistUserDlg.h"

#include "CAppConfig.h"
#include "ClientMessageBox.h"
#include "ClientPaths.h"
#include "LangText.h"
#include "UserInfoStore.h"

#include <QComboBox>
#include <QDir>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QVBoxLayout>

namespace {

bool lettersAndDigits(const QString& text)
{
    static const QRegularExpression pattern(QStringLiteral("^[a-zA-Z0-9]+$"));
    return pattern.match(text).hasMatch();
}

}  // namespace

CRegistUserDlg::CRegistUserDlg(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("CRegistUserDlg"));
    setWindowTitle(QStringLiteral("Lumora"));

    m_group = new QGroupBox(LangText("UserRegist", "RegTitle"), this);
    m_userLabel = new QLabel(LangText("UserRegist", "RegUser"), m_group);
    m_user = new QLineEdit(m_group);
    m_user->setObjectName(QStringLiteral("userName"));
    m_passwordLabel = new QLabel(LangText("UserRegist", "RegPW"), m_group);
    m_password = new QLineEdit(m_group);
    m_password->setObjectName(QStringLiteral("password"));
    m_password->setEchoMode(QLineEdit::Password);
    m_repeatLabel = new QLabel(LangText("UserRegist", "RegRPW"), m_group);
    m_repeat = new QLineEdit(m_group);
    m_repeat->setObjectName(QStringLiteral("repeatPassword"));
    m_repeat->setEchoMode(QLineEdit::Password);
    m_languageLabel = new QLabel(LangText("UserRegist", "RegLan"), m_group);
    m_language = new QComboBox(m_group);
    m_language->setObjectName(QStringLiteral("language"));

    auto* grid = new QGridLayout(m_group);
    grid->addWidget(m_userLabel, 0, 0);
    grid->addWidget(m_user, 0, 1);
    grid->addWidget(m_passwordLabel, 1, 0);
    grid->addWidget(m_password, 1, 1);
    grid->addWidget(m_repeatLabel, 2, 0);
    grid->addWidget(m_repeat, 2, 1);
    grid->addWidget(m_languageLabel, 3, 0);
    grid->addWidget(m_language, 3, 1);

    m_ok = new QPushButton(LangText("Common", "OK"), this);
    m_ok->setObjectName(QStringLiteral("ok"));
    m_ok->setDefault(true);
    m_cancel = new QPushButton(LangText("Common", "Cancel"), this);
    m_cancel->setObjectName(QStringLiteral("cancel"));
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_ok);
    buttons->addWidget(m_cancel);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_group);
    layout->addLayout(buttons);
    setMinimumWidth(360);

    connect(m_ok, &QPushButton::clicked, this, &CRegistUserDlg::OnBnClickedOk);
    connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);
    FillLanguageList();
}

void CRegistUserDlg::FillLanguageList()
{
    m_language->clear();
    const QStringList files = QDir(DataFolder()).entryList({QStringLiteral("*_LAN.ini")}, QDir::Files, QDir::Name);
    for (const QString& file : files) {
        m_language->addItem(file.left(file.size() - 8));
    }
    QString current = CAppConfig::GetInstance()->ReadProfileString(QStringLiteral("Language"), QStringLiteral("language"), QString());
    current.chop(4);
    m_language->setCurrentIndex(-1);
    for (int i = 0; i < m_language->count(); ++i) {
        if (m_language->itemText(i).compare(current, Qt::CaseInsensitive) == 0) {
            m_language->setCurrentIndex(i);
            break;
        }
    }
}

void CRegistUserDlg::fail(const char* key)
{
    ShowOrUpdateMessage(m_message, this, LangText("UserRegist", key), QStringLiteral(""));
}

void CRegistUserDlg::OnBnClickedOk()
{
    if (!lettersAndDigits(m_user->text())) {
        fail("UserFormat");
        return;
    }
    CAppConfig* config = CAppConfig::GetInstance();
    if (config->WriteProfileString(QStringLiteral("Language"), QStringLiteral("Language"), m_language->currentText() + QStringLiteral("_LAN"))) {
        config->ClearLangFile();
    }
    if (!lettersAndDigits(m_password->text()) || !lettersAndDigits(m_repeat->text())) {
        fail("PWFormat");
        return;
    }
    if (m_password->text() != m_repeat->text()) {
        fail("PWDif");
        return;
    }
    switch (UserInfoStore::Register(m_user->text(), m_password->text())) {
    case RegisterResult::Ok:
        accept();
        return;
    case RegisterResult::OpenFailed:
        // The application ends after a rejected registration.
        connect(ShowMessage(this, LangText("UserRegist", "RegError"), QStringLiteral("")), &QDialog::finished, this,
                &QDialog::reject);
        return;
    case RegisterResult::StatementFailed:
        // Nothing was stored and no database is left behind: the user may try again.
        ShowOrUpdateMessage(m_message, this, QStringLiteral("Couldn't create table TestRes"));
        return;
    }
}
