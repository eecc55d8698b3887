#include "CRTPannelDlg.h"

#include "CXListCtrl.h"
#include "ClientPaths.h"
#include "GuiMailbox.h"
#include "LangText.h"
#include "PtzReply.h"
#include "StringConvert.h"
#include "libLumora.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPixmap>
#include <QSlider>
#include <QVBoxLayout>

namespace {

// Press and release commands by button code 10..17.
struct PtzCodes {
    int code;
    int press;
    int release;
};
constexpr PtzCodes kPtzCodes[] = {{10, 0, 1}, {11, 4, 1}, {12, 6, 1}, {13, 2, 1},
                                  {14, 8, 10}, {15, 9, 10}, {16, 11, 13}, {17, 12, 13}};

// Slider ids of the colour keys, in kColourKeys order.
constexpr int kSliderIds[5] = {1264, 1266, 1268, 1270, 1272};

std::string compact(const Json::Value& value)
{
    Json::FastWriter writer;
    return writer.write(value);
}

template <class T> T* named(T* widget, const char* name, int id)
{
    widget->setObjectName(QString::fromLatin1(name));
    widget->setProperty("controlId", id);
    return widget;
}

} // namespace

const char* const CRTPannelDlg::kColourKeys[5] = {"Brightness", "Saturtion", "Acutance", "Contrast", "Chroma"};

CMyButton::CMyButton(int code, QWidget* parent) : QPushButton(parent), m_buttonCode(code)
{
    setFocusPolicy(Qt::NoFocus);
    setAutoDefault(false);
}

void CMyButton::mousePressEvent(QMouseEvent* event)
{
    // No pressed look and no click: the button only reports the hold.
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    event->accept();
    if (m_held)
        return;
    m_held = true;
    emit ptzPressed(m_buttonCode);
}

void CMyButton::mouseReleaseEvent(QMouseEvent* event)
{
    // Qt delivers the release to the pressed widget wherever the pointer is, so a release outside
    // the button ends the move too.
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    event->accept();
    release();
}

void CMyButton::mouseDoubleClickEvent(QMouseEvent* event)
{
    event->accept();
}

void CMyButton::leaveEvent(QEvent* event)
{
    release();
    QPushButton::leaveEvent(event);
}

void CMyButton::hideEvent(QHideEvent* event)
{
    release();
    QPushButton::hideEvent(event);
}

bool CMyButton::event(QEvent* event)
{
    // A window that loses the activation (a message box, another program) may never see the
    // release.
    if (event->type() == QEvent::WindowDeactivate)
        release();
    return QPushButton::event(event);
}

void CMyButton::release()
{
    if (!m_held)
        return;
    m_held = false;
    emit ptzReleased(m_buttonCode);
}

int CRTPannelDlg::PressCommand(int code)
{
    for (const PtzCodes& c : kPtzCodes)
        if (c.code == code)
            return c.press;
    return -1;
}

int CRTPannelDlg::ReleaseCommand(int code)
{
    for (const PtzCodes& c : kPtzCodes)
        if (c.code == code)
            return c.release;
    return -1;
}

CRTPannelDlg::CRTPannelDlg(QWidget* parent) : QWidget(parent), m_mailbox(GuiMailbox::create(this))
{
    setObjectName(QStringLiteral("RTPannelDlg"));
    auto* top = new QVBoxLayout(this);

    // Pan and tilt arrows, then the focus and zoom rows.
    auto* ptz = named(new QGroupBox(this), "PtzGroup", 1257);
    m_ptzGroup = ptz;
    auto* ptzLayout = new QGridLayout(ptz);
    struct ButtonPlace {
        int code;
        int id;
        const char* name;
        const char* image;
        const char* text;
        int row;
        int column;
    };
    const ButtonPlace places[8] = {
        {kUp, 1247, "PtzUp", "up.bmp", nullptr, 0, 1},        {kLeft, 1245, "PtzLeft", "left.bmp", nullptr, 1, 0},
        {kRight, 1249, "PtzRight", "right.bmp", nullptr, 1, 2}, {kDown, 1248, "PtzDown", "down.bmp", nullptr, 2, 1},
        {kFocusIn, 1241, "FocusIn", nullptr, "+", 3, 1},      {kFocusOut, 1242, "FocusOut", nullptr, "-", 3, 2},
        {kZoomIn, 1243, "ZoomIn", nullptr, "+", 4, 1},        {kZoomOut, 1244, "ZoomOut", nullptr, "-", 4, 2},
    };
    for (int i = 0; i < 8; ++i) {
        const ButtonPlace& p = places[i];
        auto* button = named(new CMyButton(p.code, ptz), p.name, p.id);
        if (p.image != nullptr) {
            const QPixmap picture(ResourceFilePath(QString::fromLatin1(p.image)));
            button->setIcon(QIcon(picture));
            button->setIconSize(picture.isNull() ? QSize(24, 24) : picture.size());
        } else {
            button->setText(QString::fromLatin1(p.text));
        }
        button->setMinimumSize(36, 32);
        connect(button, &CMyButton::ptzPressed, this, &CRTPannelDlg::OnPTZButtonDown);
        connect(button, &CMyButton::ptzReleased, this, &CRTPannelDlg::OnPTZButtonUp);
        ptzLayout->addWidget(button, p.row, p.column);
        m_buttons[i] = button;
    }
    m_focusLabel = named(new QLabel(ptz), "FocusLabel", 1259);
    m_zoomLabel = named(new QLabel(ptz), "ZoomLabel", 1260);
    ptzLayout->addWidget(m_focusLabel, 3, 0);
    ptzLayout->addWidget(m_zoomLabel, 4, 0);
    top->addWidget(ptz);

    // Presets.
    auto* presets = named(new QGroupBox(this), "PresetGroup", 1261);
    m_presetGroup = presets;
    auto* presetLayout = new QGridLayout(presets);
    m_presets = named(new CXListCtrl(presets), "PresetList", 1253);
    m_presets->InsertColumn(0, QString());
    m_presets->InsertColumn(1, QString());
    m_presets->InsertColumn(2, QString());
    m_presets->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_presets->verticalHeader()->hide();
    m_presets->setMinimumHeight(120);
    connect(m_presets, &QTableWidget::cellClicked, this, [this](int row, int) { OnGoPreset(row); });
    m_presetName = named(new QLineEdit(presets), "PresetName", 1275);
    m_addPreset = named(new QPushButton(presets), "PresetAdd", 1254);
    m_deletePresets = named(new QPushButton(presets), "PresetDelete", 1255);
    connect(m_addPreset, &QPushButton::clicked, this, &CRTPannelDlg::OnAddPreset);
    connect(m_deletePresets, &QPushButton::clicked, this, &CRTPannelDlg::OnDeletePresets);
    presetLayout->addWidget(m_presets, 0, 0, 1, 3);
    presetLayout->addWidget(m_presetName, 1, 0);
    presetLayout->addWidget(m_addPreset, 1, 1);
    presetLayout->addWidget(m_deletePresets, 1, 2);
    top->addWidget(presets);

    // Colours.
    auto* colour = named(new QGroupBox(this), "ColorGroup", 1262);
    m_colorGroup = colour;
    auto* colourLayout = new QGridLayout(colour);
    for (int i = 0; i < 5; ++i) {
        auto* label = named(new QLabel(colour), (std::string(kColourKeys[i]) + "Label").c_str(), kSliderIds[i] - 1);
        auto* slider = named(new QSlider(Qt::Horizontal, colour), kColourKeys[i], kSliderIds[i]);
        slider->setRange(0, 255);
        slider->setSingleStep(1);
        colourLayout->addWidget(label, i, 0);
        colourLayout->addWidget(slider, i, 1, 1, 2);
        m_sliderLabels[i] = label;
        m_sliders[i] = slider;
    }
    m_applyColor = named(new QPushButton(colour), "ColorApply", 1273);
    m_defaultColor = named(new QPushButton(colour), "ColorDefault", 1274);
    connect(m_applyColor, &QPushButton::clicked, this, &CRTPannelDlg::OnApplyColor);
    connect(m_defaultColor, &QPushButton::clicked, this, &CRTPannelDlg::OnDefaultColor);
    colourLayout->addWidget(m_applyColor, 5, 1);
    colourLayout->addWidget(m_defaultColor, 5, 2);
    top->addWidget(colour);
    top->addStretch(1);

    RetranslateUi();
}

CRTPannelDlg::~CRTPannelDlg()
{
    m_mailbox->close();
}

void CRTPannelDlg::RetranslateUi()
{
    auto text = [](const char* key) { return LangText("RTPannel", key); };
    m_ptzGroup->setTitle(text("PTZTitle"));
    m_focusLabel->setText(text("PTZFouce"));
    m_zoomLabel->setText(text("PTZZoom"));
    m_presetGroup->setTitle(text("PTZPreset"));
    m_addPreset->setText(text("PTZAdd"));
    m_deletePresets->setText(text("PTZDel"));
    m_presets->setHorizontalHeaderLabels({QString(), text("PTZIndex"), text("PTZName")});
    m_colorGroup->setTitle(text("Color"));
    for (int i = 0; i < 5; ++i)
        m_sliderLabels[i]->setText(text(kColourKeys[i]));
    m_applyColor->setText(text("ColorSet"));
    m_defaultColor->setText(text("Default"));
}

void CRTPannelDlg::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    m_clientRect = rect();
    // Column widths: 4/20, 6/20 and the rest of the list's width.
    const int w = std::max(0, m_presets->viewport()->width() - 2);
    m_presets->setColumnWidth(0, 4 * w / 20);
    m_presets->setColumnWidth(1, 6 * w / 20);
    m_presets->setColumnWidth(2, std::max(0, w - 10 * w / 20 - 2));
}

CMyButton* CRTPannelDlg::ptzButton(int code) const
{
    for (CMyButton* button : m_buttons)
        if (button->buttonCode() == code)
            return button;
    return nullptr;
}

void CRTPannelDlg::SetDevice(const QString& uid)
{
    if (LoginState(WideToMultiByte(uid)) == 0)
        return;
    if (uid == m_currentUid)
        return;
    m_presets->DeleteAllItems();
    m_currentUid = uid;
    m_colorConfig = Json::Value();
    requestPresets();
    const QString asked = uid;
    std::shared_ptr<GuiMailbox> box = m_mailbox;
    GetColorSetting(WideToMultiByte(uid), "{\"ViCh\":0}\n", [box, asked](int, int result, std::string text, std::string, char*, int) {
        if (result != 0)
            return;
        box->post([asked, text = std::move(text)](QObject* self) { static_cast<CRTPannelDlg*>(self)->OnColorReply(asked, text); });
    });
}

void CRTPannelDlg::requestPresets()
{
    const int generation = ++m_listGeneration;
    const QString asked = m_currentUid;
    std::shared_ptr<GuiMailbox> box = m_mailbox;
    GetPresetPTZ(WideToMultiByte(asked), [box, asked, generation](int, int result, std::string text, std::string, char*, int) {
        if (result != 0)
            return;
        box->post([asked, generation, text = std::move(text)](QObject* self) {
            static_cast<CRTPannelDlg*>(self)->OnPresetListReply(asked, generation, text);
        });
    });
}

void CRTPannelDlg::OnPresetListReply(const QString& uid, int generation, const std::string& text)
{
    // A reply for another device or for an earlier request would mix lists.
    if (uid != m_currentUid || generation != m_listGeneration)
        return;
    const std::optional<PresetListReply> reply = ParsePresetListReply(text.data(), text.size());
    if (!reply)
        return;
    m_presets->DeleteAllItems();
    m_presets->setUpdatesEnabled(false);
    for (const PresetPoint& point : reply->points) {
        QString name = Utf8ToWide(point.desc);
        if (name.isEmpty())
            name = LangText("RTPannel", "PTZPreset") + QString::number(point.index);
        const int row = m_presets->InsertItem(m_presets->rowCount(), QString());
        m_presets->SetCheckbox(row, 0, 0);
        m_presets->SetItemText(row, 1, QString::number(point.bitId), Qt::black, QColor(255, 225, 255));
        m_presets->SetItemText(row, 2, name, Qt::black, QColor(255, 225, 255));
    }
    m_presets->setUpdatesEnabled(true);
}

void CRTPannelDlg::OnColorReply(const QString& uid, const std::string& text)
{
    if (uid != m_currentUid)
        return;
    std::optional<Json::Value> colours = ParseColourReply(text.data(), text.size());
    if (!colours)
        return;
    m_colorConfig = std::move(*colours);
    for (int i = 0; i < 5; ++i) {
        const Json::Value& value = m_colorConfig[kColourKeys[i]];
        m_sliders[i]->setValue(value.isIntegral() ? value.asInt() : 0);
    }
}

void CRTPannelDlg::SendPTZCommand(int ctrlCmd)
{
    Json::Value command;
    command["CtrlCmd"] = ctrlCmd;
    command["Speed"] = 7;
    Json::StyledWriter writer;
    GoPTZ(WideToMultiByte(m_currentUid), writer.write(command), DeviceResultCallback());
}

void CRTPannelDlg::OnPTZButtonDown(int code)
{
    const int command = PressCommand(code);
    if (command >= 0)
        SendPTZCommand(command);
}

void CRTPannelDlg::OnPTZButtonUp(int code)
{
    const int command = ReleaseCommand(code);
    if (command >= 0)
        SendPTZCommand(command);
}

void CRTPannelDlg::OnAddPreset()
{
    Json::Value add;
    add["BitID"] = -1; // the device chooses the id; the list is read again afterwards
    add["Desc"] = WideToUtf8(m_presetName->text());
    const QString asked = m_currentUid;
    std::shared_ptr<GuiMailbox> box = m_mailbox;
    SetPresetPTZ(WideToMultiByte(asked), compact(add), [box, asked](int, int result, std::string, std::string, char*, int) {
        if (result != 0)
            return;
        box->post([asked](QObject* self) {
            auto* dlg = static_cast<CRTPannelDlg*>(self);
            if (asked == dlg->currentUid())
                dlg->OnRefreshPresets();
        });
    });
}

void CRTPannelDlg::OnRefreshPresets()
{
    m_presets->DeleteAllItems();
    requestPresets();
}

void CRTPannelDlg::OnGoPreset(int row)
{
    if (row < 0 || row >= m_presets->rowCount())
        return;
    bool ok = false;
    const int id = m_presets->GetItemText(row, 1).toInt(&ok);
    if (!ok)
        return;
    Json::Value go;
    go["BitID"] = id;
    go["Type"] = 0;
    GoPresetPTZ(WideToMultiByte(m_currentUid), compact(go), DeviceResultCallback());
}

void CRTPannelDlg::OnDeletePresets()
{
    const QString asked = m_currentUid;
    std::shared_ptr<GuiMailbox> box = m_mailbox;
    m_presets->setUpdatesEnabled(false);
    for (int row = m_presets->rowCount() - 1; row >= 0; --row) {
        if (m_presets->GetItemCheckedState(row, 0) != 1)
            continue;
        bool ok = false;
        const int id = m_presets->GetItemText(row, 1).toInt(&ok);
        if (ok) {
            Json::Value del;
            del["BitID"] = id;
            del["Type"] = 1;
            // A refused delete leaves the preset on the device: the list is read again to show it.
            GoPresetPTZ(WideToMultiByte(asked), compact(del), [box, asked](int, int result, std::string, std::string, char*, int) {
                if (result == 0)
                    return;
                box->post([asked](QObject* self) {
                    auto* dlg = static_cast<CRTPannelDlg*>(self);
                    if (asked == dlg->currentUid())
                        dlg->OnRefreshPresets();
                });
            });
        }
        m_presets->DeleteItem(row);
    }
    m_presets->setUpdatesEnabled(true);
}

void CRTPannelDlg::sendColours(const Json::Value& document)
{
    SetColorSetting(WideToMultiByte(m_currentUid), compact(document), DeviceResultCallback());
}

void CRTPannelDlg::OnApplyColor()
{
    if (!m_colorConfig.isObject())
        m_colorConfig = Json::Value(Json::objectValue);
    for (int i = 0; i < 5; ++i)
        m_colorConfig[kColourKeys[i]] = m_sliders[i]->value();
    sendColours(m_colorConfig);
}

void CRTPannelDlg::OnDefaultColor()
{
    // The reset is asked for once: it goes on a copy, so a later apply does not reset again.
    Json::Value reset = m_colorConfig.isObject() ? m_colorConfig : Json::Value(Json::objectValue);
    reset["SetDefault"] = true;
    sendColours(reset);
}
