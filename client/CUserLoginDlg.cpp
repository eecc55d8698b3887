#include "CUserLoginDlg.h"

#include "CServerDlg.h"
#include "ClientMessageBox.h"
#include "ClientPaths.h"
#include "LangText.h"
#include "LumoraSdk.h"
#include "PasswordHash.h"
#include "UserInfoStore.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

CUserLoginDlg::CUserLoginDlg(QWidget* parent, int autoLoginIntervalMs) : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint)
{
    setObjectName(QStringLiteral("CUserLoginDlg"));
    setWindowTitle(QStringLiteral("Lumora"));
    m_background.load(ResourceFilePath(QStringLiteral("background.bmp")));

    m_userLabel = new QLabel(LangText("UserLogin", "User"), this);
    m_user = new QComboBox(this);
    m_user->setObjectName(QStringLiteral("userName"));
    m_user->setEditable(true);
    m_user->setInsertPolicy(QComboBox::InsertAlphabetically);
    m_passwordLabel = new QLabel(LangText("UserLogin", "Password"), this);
    m_password = new QLineEdit(this);
    m_password->setObjectName(QStringLiteral("password"));
    m_password->setEchoMode(QLineEdit::Password);
    m_remember = new QCheckBox(LangText("UserLogin", "Remeber"), this);
    m_remember->setObjectName(QStringLiteral("remember"));
    m_autoLoginBox = new QCheckBox(LangText("UserLogin", "AutoLogin"), this);
    m_autoLoginBox->setObjectName(QStringLiteral("autoLogin"));
    m_ok = new QPushButton(LangText("Common", "OK"), this);
    m_ok->setObjectName(QStringLiteral("ok"));
    m_ok->setDefault(true);
    m_cancel = new QPushButton(LangText("Common", "Cancel"), this);
    m_cancel->setObjectName(QStringLiteral("cancel"));
    m_server = new QPushButton(LangText("UserLogin", "Server"), this);
    m_server->setObjectName(QStringLiteral("server"));
    m_server->setFlat(true);

    const QString labelStyle = QStringLiteral("color: white;");
    for (QWidget* w : {static_cast<QWidget*>(m_userLabel), static_cast<QWidget*>(m_passwordLabel),
                       static_cast<QWidget*>(m_remember), static_cast<QWidget*>(m_autoLoginBox), static_cast<QWidget*>(m_server)}) {
        w->setStyleSheet(labelStyle);
    }

    auto* grid = new QGridLayout;
    grid->addWidget(m_userLabel, 0, 0);
    grid->addWidget(m_user, 0, 1);
    grid->addWidget(m_passwordLabel, 1, 0);
    grid->addWidget(m_password, 1, 1);
    auto* checks = new QHBoxLayout;
    checks->addWidget(m_remember);
    checks->addWidget(m_autoLoginBox);
    checks->addStretch();
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_server);
    buttons->addStretch();
    buttons->addWidget(m_ok);
    buttons->addWidget(m_cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addStretch();
    layout->addLayout(grid);
    layout->addLayout(checks);
    layout->addLayout(buttons);
    layout->setContentsMargins(60, 20, 60, 20);
    resize(480, 320);

    connect(m_user, &QComboBox::textActivated, this, &CUserLoginDlg::OnSelchangeUser);
    connect(m_remember, &QCheckBox::clicked, this, &CUserLoginDlg::OnRemember);
    connect(m_autoLoginBox, &QCheckBox::clicked, this, &CUserLoginDlg::OnAutoLogin);
    connect(m_ok, &QPushButton::clicked, this, &CUserLoginDlg::OnOK);
    connect(m_cancel, &QPushButton::clicked, this, &CUserLoginDlg::reject);
    connect(m_server, &QPushButton::clicked, this, &CUserLoginDlg::OnServer);
    // The server string belongs to a user: the button works only while a registered user is
    // chosen, so what is typed in its dialog is never dropped for want of a row.
    connect(m_user, &QComboBox::editTextChanged, this, &CUserLoginDlg::updateServerButton);
    connect(m_user, &QComboBox::currentIndexChanged, this, &CUserLoginDlg::updateServerButton);
    // A remembered password is not in the field (only its hash is stored); typing replaces it.
    connect(m_password, &QLineEdit::textEdited, this, [this] { m_passwordRemembered = false; });

    LoadUsers();
    updateServerButton();
    m_timer = new QTimer(this);
    m_timer->setInterval(autoLoginIntervalMs);
    connect(m_timer, &QTimer::timeout, this, &CUserLoginDlg::onTimer);
    m_timer->start();
}

void CUserLoginDlg::LoadUsers()
{
    const auto user = UserInfoStore::FirstUser();
    if (!user) {
        return;
    }
    m_user->addItem(user->name);
    if (user->firstUser == 1) {
        m_user->setCurrentIndex(0);
        m_remember->setChecked(user->remember != 0);
        m_storedPassword = user->password;
        if (user->remember != 0) {
            fillRememberedPassword();
        }
        m_autoLoginBox->setChecked(user->autoLogin != 0);
        if (user->autoLogin != 0) {
            m_autoLogin = true;
        }
    } else {
        // Listed, but not chosen yet.
        m_user->setCurrentIndex(-1);
        m_user->setEditText(QString());
    }
}

void CUserLoginDlg::fillRememberedPassword()
{
    // The field shows that a password is remembered without holding it.
    m_password->setText(QString(8, QLatin1Char('*')));
    m_passwordRemembered = true;
    m_rememberedUser = userName();
}

void CUserLoginDlg::updateServerButton()
{
    const QString name = userName();
    m_server->setEnabled(!name.isEmpty() && m_user->findText(name, Qt::MatchFixedString | Qt::MatchCaseSensitive) >= 0);
}

QString CUserLoginDlg::userName() const
{
    return m_user->currentText();
}

void CUserLoginDlg::OnSelchangeUser(const QString& name)
{
    UserInfoStore::MarkFirstUser(name);
    const auto user = UserInfoStore::FindUser(name);
    if (!user) {
        return;
    }
    m_remember->setChecked(user->remember != 0);
    m_storedPassword = user->password;
    if (user->remember != 0) {
        fillRememberedPassword();
    }
    m_autoLoginBox->setChecked(user->autoLogin != 0);
    if (user->autoLogin != 0) {
        m_autoLogin = true;
    }
}

void CUserLoginDlg::fail(const char* key)
{
    ShowOrUpdateMessage(m_message, this, LangText("UserLogin", key), QStringLiteral(""));
}

void CUserLoginDlg::OnRemember()
{
    if (userName().isEmpty()) {
        fail("Input");
        return;
    }
    UserInfoStore::SetRemember(userName(), m_remember->isChecked());
}

void CUserLoginDlg::OnAutoLogin()
{
    if (userName().isEmpty()) {
        fail("Input");
        return;
    }
    UserInfoStore::SetAutoLogin(userName(), m_autoLoginBox->isChecked());
    m_autoLogin = m_autoLoginBox->isChecked();
}

void CUserLoginDlg::OnOK()
{
    const QString name = userName();
    if (name.isEmpty()) {
        fail("Input");
        return;
    }
    const auto user = UserInfoStore::FindUser(name);
    if (!user) {
        fail("NoExist");
        return;
    }
    m_storedPassword = user->password;
    const bool remembered = m_passwordRemembered && name == m_rememberedUser && user->remember != 0;
    if (!remembered && !PasswordHash::Verify(m_password->text(), m_storedPassword)) {
        fail("PWError");
        return;
    }
    if (!PasswordHash::IsHash(m_storedPassword)) {
        // A row from before hashing: the password just proved itself, store its hash instead.
        const QString hash = PasswordHash::Make(remembered ? m_storedPassword : m_password->text());
        if (!hash.isEmpty()) {
            UserInfoStore::SetPasswordHash(name, hash);
        }
    }
    LumoraSdk::Start(user->server);
    m_timer->stop();
    if (m_message) {
        m_message->close();
    }
    accept();
}

void CUserLoginDlg::onTimer()
{
    if (!m_autoLogin || (m_message && m_message->isVisible())) {
        return;
    }
    OnOK();
}

void CUserLoginDlg::OnServer()
{
    if (m_serverDlg || !m_server->isEnabled()) {
        return;
    }
    m_serverDlg = new CServerDlg(m_user->currentText(), this);
    m_serverDlg->setAttribute(Qt::WA_DeleteOnClose);
    m_serverDlg->open();
}

void CUserLoginDlg::reject()
{
    m_timer->stop();
    QDialog::reject();
}

void CUserLoginDlg::paintEvent(QPaintEvent* event)
{
    QPainter painter(this);
    if (!m_background.isNull()) {
        painter.drawPixmap(rect(), m_background);
    } else {
        painter.fillRect(rect(), QColor(30, 70, 120));
    }
    QDialog::paintEvent(event);
}
