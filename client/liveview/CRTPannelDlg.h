// The real-time side panel's content: pan/tilt, zoom and focus while a button is held, the
// current device's preset positions (add, go to, delete) and five picture-colour sliders on the
// device's "CamCfg.info" document. The main frame names the current device (SetDevice).
//
// Threads: everything here runs on the GUI thread. Device replies arrive on libLumora's threads;
// their callbacks copy the reply into values and post it through the panel's mailbox, so the
// list, the sliders and the kept colour document are touched on the GUI thread only.
#pragma once

#include <QPushButton>
#include <QRect>
#include <QString>
#include <QWidget>
#include <json/json.h>
#include <memory>

class CXListCtrl;
class GuiMailbox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QSlider;

// A PTZ button that reports its code while held: pressed when the left button goes down on it,
// released when that button goes up anywhere, when the pointer leaves it, when it is hidden or
// when its window stops being the active one, whichever comes first (one release per press). A double click adds nothing.
class CMyButton : public QPushButton {
    Q_OBJECT
public:
    CMyButton(int code, QWidget* parent);
    int buttonCode() const { return m_buttonCode; }
    bool held() const { return m_held; }

signals:
    void ptzPressed(int code);
    void ptzReleased(int code);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool event(QEvent* event) override;

private:
    void release();

    int m_buttonCode;
    bool m_held = false;
};

class CRTPannelDlg : public QWidget {
    Q_OBJECT
public:
    // Button codes of the eight PTZ buttons.
    enum ButtonCode { kUp = 10, kLeft = 11, kRight = 12, kDown = 13, kZoomOut = 14, kZoomIn = 15, kFocusIn = 16, kFocusOut = 17 };
    // The PTZ commands (CtrlCmd) of a button's press and release; -1 for codes outside 10..17.
    static int PressCommand(int code);
    static int ReleaseCommand(int code);
    // The five colour keys of "CamCfg.info", in the sliders' order.
    static const char* const kColourKeys[5];

    explicit CRTPannelDlg(QWidget* parent = nullptr);
    ~CRTPannelDlg() override;

    // Makes uid the panel's device when it is logged in and not already current: the preset
    // list is emptied and the presets and colours are asked for.
    void SetDevice(const QString& uid);
    QString currentUid() const { return m_currentUid; }
    // The kept colour document (null until a colour reply came).
    const Json::Value& colorConfig() const { return m_colorConfig; }

    void OnPTZButtonDown(int code);
    void OnPTZButtonUp(int code);
    void OnAddPreset();
    void OnGoPreset(int row);
    void OnDeletePresets();
    void OnApplyColor();
    void OnDefaultColor();
    void OnRefreshPresets();

    CXListCtrl* presetList() const { return m_presets; }
    QSlider* slider(int index) const { return m_sliders[index]; }
    CMyButton* ptzButton(int code) const;
    void RetranslateUi();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void requestPresets();
    void SendPTZCommand(int ctrlCmd);
    void OnPresetListReply(const QString& uid, int generation, const std::string& text);
    void OnColorReply(const QString& uid, const std::string& text);
    void sendColours(const Json::Value& document);

    std::shared_ptr<GuiMailbox> m_mailbox;
    QRect m_clientRect;
    QString m_currentUid;
    Json::Value m_colorConfig;
    int m_listGeneration = 0; // the newest preset-list request; older replies are dropped

    QGroupBox* m_ptzGroup = nullptr;
    CMyButton* m_buttons[8] = {};
    CXListCtrl* m_presets = nullptr;
    QLineEdit* m_presetName = nullptr;
    QPushButton* m_addPreset = nullptr;
    QPushButton* m_deletePresets = nullptr;
    QSlider* m_sliders[5] = {};
    QLabel* m_sliderLabels[5] = {};
    QPushButton* m_applyColor = nullptr;
    QPushButton* m_defaultColor = nullptr;
    QGroupBox* m_presetGroup = nullptr;
    QGroupBox* m_colorGroup = nullptr;
    QLabel* m_focusLabel = nullptr;
    QLabel* m_zoomLabel = nullptr;
};
