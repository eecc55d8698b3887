#include "CResetPADlg.h"

#include "ClientDatabase.h"
#include "ClientMessageBox.h"
#include "GuiHandoff.h"
#include "LangText.h"
#include "StringConvert.h"
#include "libLumora.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

Q_LOGGING_CATEGORY(lcResetPassword, "lumora.devpw")

const QString kDevInfoDb = QStringLiteral("DevInfo.db");

// Rows changed, or -1 when the statement failed.
int updateDevInfo(const char* sql, const SqlParams& params)
{
    if (!ClientDatabaseExists(kDevInfoDb)) {
        return -1;
    }
    try {
        SqliteDb db(kClientBusyTimeoutMs);
        OpenClientDatabase(db, kDevInfoDb);
        return db.ExecDml(sql, params);
    } catch (const SqliteException& e) {
        qCWarning(lcResetPassword) << "writing DevInfo failed:" << e.errorMessage().c_str();
        return -1;
    }
}

}  // namespace

CResetPADlg::CResetPADlg(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("CResetPADlg"));
    setWindowTitle(QStringLiteral("Lumora"));
    m_aliasLabel = new QLabel(LangText("DevPWSet", "Alias"), this);
    m_aliasEdit = new QLineEdit(this);
    m_aliasEdit->setObjectName(QStringLiteral("alias"));
    m_oldLabel = new QLabel(LangText("DevPWSet", "OldPW"), this);
    m_old = new QLineEdit(this);
    m_old->setObjectName(QStringLiteral("oldPassword"));
    m_newLabel = new QLabel(LangText("DevPWSet", "NewPW"), this);
    m_new = new QLineEdit(this);
    m_new->setObjectName(QStringLiteral("newPassword"));
    m_repeatLabel = new QLabel(LangText("DevPWSet", "ReNewPW"), this);
    m_repeat = new QLineEdit(this);
    m_repeat->setObjectName(QStringLiteral("repeatPassword"));
    for (QLineEdit* edit : {m_old, m_new, m_repeat}) {
        edit->setEchoMode(QLineEdit::Password);
        edit->setMaxLength(255);  // the library takes at most 255 bytes of password
    }
    m_visible = new QCheckBox(LangText("DevPWSet", "Visible"), this);
    m_visible->setObjectName(QStringLiteral("visible"));
    m_set = new QPushButton(LangText("DevPWSet", "Set"), this);
    m_set->setObjectName(QStringLiteral("ok"));
    m_set->setDefault(true);

    auto* grid = new QGridLayout;
    grid->addWidget(m_aliasLabel, 0, 0);
    grid->addWidget(m_aliasEdit, 0, 1);
    grid->addWidget(m_oldLabel, 1, 0);
    grid->addWidget(m_old, 1, 1);
    grid->addWidget(m_newLabel, 2, 0);
    grid->addWidget(m_new, 2, 1);
    grid->addWidget(m_repeatLabel, 3, 0);
    grid->addWidget(m_repeat, 3, 1);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(m_visible);
    bottom->addStretch();
    bottom->addWidget(m_set);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addLayout(bottom);
    setMinimumWidth(340);

    connect(m_set, &QPushButton::clicked, this, &CResetPADlg::OnBnClickedOk);
    connect(m_visible, &QCheckBox::clicked, this, &CResetPADlg::OnShowPassword);
}

void CResetPADlg::LoadDevInfo(const QString& uid)
{
    m_uid = uid;
    if (!ClientDatabaseExists(kDevInfoDb)) {
        return;
    }
    try {
        SqliteDb db(kClientBusyTimeoutMs);
        OpenClientDatabase(db, kDevInfoDb);
        SqliteQuery query = db.ExecQuery("SELECT * FROM DevInfo where UID = ?", {WideToMultiByte(uid)});
        if (!query.Eof()) {
            m_oldPassword = query.GetStringField("PA");
            m_alias = MultiByteToWide(query.GetStringField("NAME"));
            m_aliasEdit->setText(m_alias);
        }
    } catch (const SqliteException& e) {
        qCWarning(lcResetPassword) << "reading DevInfo failed:" << e.errorMessage().c_str();
    }
}

QWidget* CResetPADlg::messageOwner()
{
    // The device's answer comes after the dialog has hidden itself: a box window-modal to a hidden
    // dialog would block the main window from behind it. Such a result goes to the window the
    // dialog was opened from, or stands alone when that one is hidden too.
    if (isVisible()) {
        return this;
    }
    QWidget* owner = parentWidget() != nullptr ? parentWidget()->window() : nullptr;
    return owner != nullptr && owner->isVisible() ? owner : nullptr;
}

void CResetPADlg::message(const char* key)
{
    showMessage(LangText("DevPWSet", key));
}

void CResetPADlg::showMessage(const QString& text)
{
    ShowOrUpdateMessage(m_message, messageOwner(), text, QStringLiteral(""));
}

void CResetPADlg::OnBnClickedOk()
{
    const QString alias = m_aliasEdit->text();
    if (alias != m_alias) {
        if (updateDevInfo("UPDATE DevInfo SET NAME = ? WHERE UID = ?", {WideToMultiByte(alias), WideToMultiByte(m_uid)}) > 0) {
            m_alias = alias;
            emit aliasChanged(m_uid, alias);
        }
    }
    if (m_old->text().isEmpty()) {
        hide();
        return;
    }
    if (WideToMultiByte(m_old->text()) != m_oldPassword) {
        message("OldPwError");
        return;
    }
    if (m_new->text() != m_repeat->text()) {
        message("PwTwiceError");
        return;
    }
    const QString uid = m_uid;
    const QString newPassword = m_new->text();
    QPointer<CResetPADlg> self(this);
    ResetPassword(WideToMultiByte(uid), WideToMultiByte(newPassword),
                  [self, uid, newPassword](int, int, std::string text, std::string, char*, int) {
                      const QString reply = MultiByteToWide(text);
                      PostToGui(self, [reply, uid, newPassword](CResetPADlg* dialog) {
                          dialog->OnResetPasswordReply(reply, uid, newPassword);
                      });
                  });
    hide();
}

void CResetPADlg::OnResetPasswordReply(const QString& reply, const QString& uid, const QString& newPassword)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(reply.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject() || document.object().value(QStringLiteral("ret")).toInt(0) != 0) {
        message("Fail");
        return;
    }
    if (updateDevInfo("UPDATE DevInfo SET PA = ? WHERE UID = ?", {WideToMultiByte(newPassword), WideToMultiByte(uid)}) <= 0) {
        showMessage(QStringLiteral("Couldn't inste table TestRes"));
        return;
    }
    if (uid == m_uid) {
        m_oldPassword = WideToMultiByte(newPassword);
    }
    message("Success");
}

void CResetPADlg::OnShowPassword()
{
    const QLineEdit::EchoMode mode = m_visible->isChecked() ? QLineEdit::Normal : QLineEdit::Password;
    for (QLineEdit* edit : {m_old, m_new, m_repeat}) {
        edit->setEchoMode(mode);
    }
}
