#include "CFTPSettingDlg.h"

#include "SettingsJson.h"
#include "SettingsLayout.h"
#include "StringConvert.h"
#include "libLumora.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <algorithm>
#include <climits>

namespace {

constexpr const char* kSection = "FTPSet";

} // namespace

CFTPSettingDlg::CFTPSettingDlg(QWidget* parent)
    : DevicePage(IDD, {"FtpCfg.info", GetFTPSetting, SetFTPSetting, Writer::Compact, SetReport::Common, true}, parent)
{
    auto* grid = new QGridLayout(this);
    struct Field {
        int label;
        const char* key;
        int edit;
        QLineEdit** member;
    };
    const Field fields[] = {{1353, "FTPAddr", 1220, &m_addr}, {1354, "FTPPort", 1221, &m_port},
                            {1355, "FTPUser", 1222, &m_user}, {1356, "FTPPW", 1223, &m_password},
                            {1357, "FTPPath", 1224, &m_path}};
    int row = 0;
    for (const Field& f : fields) {
        auto* label = control(f.label, new QLabel(text(kSection, f.key), this));
        auto* edit = control(f.edit, new QLineEdit(this));
        edit->setMaxLength(kMaxEditText);
        label->setBuddy(edit);
        grid->addWidget(label, row, 0);
        grid->addWidget(edit, row, 1);
        *f.member = edit;
        ++row;
    }
    auto* set = control(1, new QPushButton(text(kSection, "Set"), this));
    set->setDefault(true);
    setSaveButton(set);
    grid->addWidget(set, row, 1, Qt::AlignRight);
    grid->setRowStretch(row + 1, 1);
    grid->setColumnStretch(2, 1);
}

int CFTPSettingDlg::PortFromText(const QString& text)
{
    qsizetype i = 0;
    while (i < text.size() && text.at(i).isSpace())
        ++i;
    bool negative = false;
    if (i < text.size() && (text.at(i) == u'+' || text.at(i) == u'-')) {
        negative = text.at(i) == u'-';
        ++i;
    }
    long long value = 0;
    for (; i < text.size() && text.at(i) >= u'0' && text.at(i) <= u'9'; ++i) {
        value = value * 10 + (text.at(i).unicode() - u'0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative)
        value = -value;
    if (value > INT_MAX)
        return INT_MAX;
    return static_cast<int>(std::max<long long>(value, INT_MIN));
}

void CFTPSettingDlg::fromJson(const Json::Value& ftp)
{
    m_addr->setText(MemberText(ftp, "FtpAddr"));
    m_port->setText(QString::number(MemberInt(ftp, "FtpPort")));
    m_user->setText(MemberText(ftp, "FtpUser"));
    m_password->setText(MemberText(ftp, "FtpPasswd"));
    m_path->setText(MemberText(ftp, "FtpPath"));
}

void CFTPSettingDlg::toJson(Json::Value& ftp) const
{
    ftp["FtpAddr"] = WideToMultiByte(m_addr->text());
    ftp["FtpPort"] = PortFromText(m_port->text());
    ftp["FtpUser"] = WideToMultiByte(m_user->text());
    ftp["FtpPasswd"] = WideToMultiByte(m_password->text());
    ftp["FtpPath"] = WideToMultiByte(m_path->text());
}
