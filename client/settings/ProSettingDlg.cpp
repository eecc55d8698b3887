#include "ProSettingDlg.h"

#include "FrameText.h"

ProSettingDlg::ProSettingDlg(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("ProSettingDlg"));
    setModal(false);
    setWindowTitle(LangText("ToolBar", "SavePathSet"));
    resize(480, 320);
}

CLocalRecPlanDlg::CLocalRecPlanDlg(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("LocalRecPlanDlg"));
    setModal(false);
    setWindowTitle(LangText("ToolBar", "LocalRecPlan"));
    resize(560, 380);
}
