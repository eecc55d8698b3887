#include "CRealTimePannel.h"

#include "CRTPannelDlg.h"

#include <QVBoxLayout>

CRealTimePannel::CRealTimePannel(QWidget* parent) : QWidget(parent), m_dialog(new CRTPannelDlg(this))
{
    setObjectName(QStringLiteral("RealTimePannel"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_dialog);
}

void CRealTimePannel::SetCurrentDevice(const QString& uid)
{
    m_dialog->SetDevice(uid);
}
