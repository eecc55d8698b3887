#include "ProSettingDlg.h"

#include "CAppConfig.h"
#include "FrameText.h"
#include "StringConvert.h"
#include "libLumora.h"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace {

constexpr const char* kSection = "PathSetting";

// The folder rows from top to bottom: label, edit and browse button ids, the label's language
// key, the [PathSetting] key, the reader and the libLumora setter.
struct FolderRow {
    int label;
    int edit;
    int browse;
    const char* langKey;
    const char* iniKey;
    QString (CAppConfig::*read)() const;
    void (*hand)(std::string);
};
const FolderRow kRows[] = {
    {1364, 1233, 1234, "PathSnap", "SnapPath", &CAppConfig::GetSnapPath, SetSnapPath},
    {1365, 1235, 1236, "PathDload", "DownloadPath", &CAppConfig::GetDownloadPath, SetDownloadPath},
    {1366, 1237, 1238, "PathRec", "RecPath", &CAppConfig::GetRecPath, SetRecPath},
    {1368, 1239, 1240, "PathAlarm", "AlarmPath", &CAppConfig::GetAlarmPath, SetAlarmPath},
};

template <class W> W* named(int id, W* widget)
{
    widget->setObjectName(QStringLiteral("ctl_%1").arg(id));
    return widget;
}

QString defaultChooseFolder(QWidget* owner, const QString& title)
{
    return QFileDialog::getExistingDirectory(owner, title, QString(), QFileDialog::ShowDirsOnly);
}

} // namespace

ProSettingDlg::ProSettingDlg(QWidget* parent) : QDialog(parent), chooseFolder(defaultChooseFolder)
{
    setObjectName(QStringLiteral("ProSettingDlg"));
    setModal(false);
    setWindowTitle(LangText("ToolBar", "SavePathSet"));
    CAppConfig* config = CAppConfig::GetInstance();

    auto* folders = named(1363, new QGroupBox(LangText(kSection, "PathSet"), this));
    auto* grid = new QGridLayout(folders);
    for (size_t i = 0; i < std::size(kRows); ++i) {
        const FolderRow& row = kRows[i];
        auto* label = named(row.label, new QLabel(LangText(kSection, row.langKey), folders));
        auto* edit = named(row.edit, new QLineEdit((config->*row.read)(), folders));
        edit->setMinimumWidth(320);
        label->setBuddy(edit);
        auto* browseButton = named(row.browse, new QPushButton(LangText(kSection, "SelPath"), folders));
        browseButton->setAutoDefault(false);
        connect(browseButton, &QPushButton::clicked, this, [this, i] { browse(static_cast<int>(i)); });
        const int r = static_cast<int>(i);
        grid->addWidget(label, r, 0);
        grid->addWidget(edit, r, 1);
        grid->addWidget(browseButton, r, 2);
        m_folders[i] = edit;
    }
    grid->setColumnStretch(1, 1);

    auto* decoding = named(1367, new QGroupBox(LangText(kSection, "DecType"), this));
    auto* radios = new QHBoxLayout(decoding);
    m_hardware = named(1106, new QRadioButton(LangText(kSection, "DecHard"), decoding));
    m_software = named(1107, new QRadioButton(LangText(kSection, "DecSofe"), decoding));
    radios->addWidget(m_hardware);
    radios->addWidget(m_software);
    radios->addStretch(1);
    (config->GetHardwareType() != 0 ? m_hardware : m_software)->setChecked(true);

    auto* ok = named(1, new QPushButton(LangText(kSection, "Set"), this));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &ProSettingDlg::accept);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(ok);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(folders);
    layout->addWidget(decoding);
    layout->addLayout(buttons);
}

void ProSettingDlg::browse(int row)
{
    if (!chooseFolder)
        return;
    const QString folder = chooseFolder(this, LangText("ProSettingDlg", "BrowseTitle"));
    // A cancelled browser changes nothing; the choice is saved only by OK.
    if (!folder.isEmpty())
        m_folders[static_cast<size_t>(row)]->setText(folder);
}

void ProSettingDlg::accept()
{
    CAppConfig* config = CAppConfig::GetInstance();
    for (size_t i = 0; i < std::size(kRows); ++i) {
        const QString folder = m_folders[i]->text();
        // Stored as typed, when "Lumora.ini" exists; libLumora takes it either way and makes
        // the folder when it first writes there.
        config->WriteProfileString(QString::fromLatin1(kSection), QString::fromLatin1(kRows[i].iniKey), folder);
        kRows[i].hand(WideToMultiByte(folder));
    }
    config->SetHardwareType(m_hardware->isChecked() ? 1 : 0);
    QDialog::accept();
}
