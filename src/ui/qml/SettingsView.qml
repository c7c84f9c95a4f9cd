import QtQuick
import QtQuick.Controls
import Quorvane
import Quorvane.State
import Quorvane.Types

// The settings screen: which downloaded model answers, how replies are
// made, the appearance, and the system prompt sent with every conversation.
Item {
    id: settings

    // The prompt as edited; stored only by "Save prompt".
    property string promptDraft: ""
    readonly property bool isPromptSaved: promptDraft === AppState.systemPrompt
    // The id of the model row under the pointer, empty when none.
    property string hoveredModel: ""
    readonly property bool showingModelPicker: picker.visible
    readonly property bool isAddHovered: addButton.hovered
    readonly property bool isManageHovered: manageButton.hovered
    readonly property bool isSaveHovered: saveButton.hovered
    readonly property bool isResetHovered: resetButton.hovered
    // Downloaded models listed; rows of models still downloading are hidden.
    readonly property int shownModelCount: models.downloadedCount

    Component.onCompleted: promptDraft = AppState.systemPrompt
    onVisibleChanged: {
        if (visible)
            promptDraft = AppState.systemPrompt
    }

    component SectionHeader: Text {
        topPadding: 14
        font.pixelSize: 11
        font.bold: true
        font.letterSpacing: 1.4
        color: Theme.primaryAt(0.4)
    }

    ModelsListModel {
        id: models
        appState: AppState
    }

    ScrollView {
        id: scroller
        anchors.fill: parent
        contentWidth: availableWidth
        ScrollBar.horizontal.policy: ScrollBar.AlwaysOff

        Column {
            id: column
            x: 30
            width: Math.max(0, Math.min(560, scroller.availableWidth - 2 * x))
            topPadding: 30
            bottomPadding: 30
            spacing: 12

            Text {
                text: qsTr("Settings")
                font.pixelSize: 26
                color: Theme.primary
            }

            SectionHeader { text: qsTr("Model selector") }

            Rectangle {
                objectName: "modelList"
                width: column.width
                height: settings.shownModelCount > 0 ? modelRows.height : emptyText.height
                radius: 10
                color: Theme.primaryAt(0.03)
                border.width: 1
                border.color: Theme.primaryAt(0.08)
                clip: true

                Column {
                    id: modelRows
                    width: parent.width

                    Repeater {
                        model: models
                        delegate: AbstractButton {
                            id: modelRow
                            required property string modelId
                            required property string name
                            required property string sizeText
                            required property bool isDownloaded
                            required property bool isSelected

                            width: modelRows.width
                            visible: isDownloaded
                            text: name
                            hoverEnabled: true
                            leftPadding: 16
                            rightPadding: 16
                            topPadding: 10
                            bottomPadding: 10
                            focusPolicy: Qt.TabFocus
                            Accessible.role: Accessible.Button
                            Accessible.name: name

                            onHoveredChanged: {
                                if (hovered)
                                    settings.hoveredModel = modelId
                                else if (settings.hoveredModel === modelId)
                                    settings.hoveredModel = ""
                            }
                            onClicked: AppState.selectModelById(modelId)

                            background: Rectangle {
                                color: settings.hoveredModel === modelRow.modelId ? Theme.primaryAt(0.05)
                                                                                  : "transparent"
                                // A divider above every row but the first one shown.
                                Rectangle {
                                    visible: modelRow.y > 0
                                    width: parent.width
                                    height: 1
                                    color: Theme.primaryAt(0.08)
                                }
                            }
                            contentItem: Item {
                                implicitHeight: texts.implicitHeight
                                Column {
                                    id: texts
                                    anchors.left: parent.left
                                    anchors.right: checkmark.left
                                    anchors.rightMargin: 10
                                    anchors.verticalCenter: parent.verticalCenter
                                    spacing: 2
                                    Text {
                                        width: parent.width
                                        text: modelRow.name
                                        elide: Text.ElideRight
                                        font.pixelSize: 14
                                        color: Theme.primaryAt(0.9)
                                    }
                                    Text {
                                        width: parent.width
                                        text: modelRow.sizeText
                                        elide: Text.ElideRight
                                        font.pixelSize: 12
                                        color: Theme.primaryAt(0.45)
                                    }
                                }
                                Icon {
                                    id: checkmark
                                    objectName: "selectionCheckmark"
                                    anchors.right: parent.right
                                    anchors.verticalCenter: parent.verticalCenter
                                    visible: modelRow.isSelected
                                    name: "checkmark"
                                    size: 12
                                    font.weight: Font.DemiBold
                                    color: Theme.primaryAt(0.7)
                                }
                            }
                        }
                    }
                }

                Text {
                    id: emptyText
                    visible: settings.shownModelCount === 0
                    leftPadding: 16
                    rightPadding: 16
                    topPadding: 14
                    bottomPadding: 14
                    text: qsTr("No models installed yet")
                    font.pixelSize: 14
                    color: Theme.primaryAt(0.5)
                }
            }

            Row {
                spacing: 10
                SettingsButton {
                    id: addButton
                    text: qsTr("Add model")
                    iconName: "plus"
                    onClicked: picker.open()
                }
                SettingsButton {
                    id: manageButton
                    text: qsTr("Manage models")
                    iconName: "slider.horizontal.3"
                    onClicked: AppState.setCurrentView(Quorvane.Models)
                }
            }

            SectionHeader { text: qsTr("Replies") }

            RepliesSection { width: column.width }

            SectionHeader { text: qsTr("Appearance") }

            Row {
                spacing: 10
                SettingsButton {
                    text: qsTr("Light")
                    iconName: "sun.max"
                    isActive: AppState.appearanceMode === Quorvane.Light
                    onClicked: AppState.setAppearanceMode(Quorvane.Light)
                }
                SettingsButton {
                    text: qsTr("Dark")
                    iconName: "moon"
                    isActive: AppState.appearanceMode === Quorvane.Dark
                    onClicked: AppState.setAppearanceMode(Quorvane.Dark)
                }
            }

            SectionHeader { text: qsTr("System prompt") }

            Rectangle {
                width: column.width
                height: 110
                radius: 8
                color: Theme.primaryAt(0.04)
                border.width: 1
                border.color: Theme.primaryAt(0.08)

                ScrollView {
                    anchors.fill: parent
                    anchors.margins: 1
                    ScrollBar.horizontal.policy: ScrollBar.AlwaysOff

                    TextArea {
                        id: editor
                        objectName: "systemPromptEditor"
                        text: settings.promptDraft
                        onTextChanged: settings.promptDraft = text
                        padding: 10
                        wrapMode: TextEdit.Wrap
                        selectByMouse: true
                        font.pixelSize: 13
                        color: Theme.primary
                        selectionColor: Qt.rgba(Theme.blue.r, Theme.blue.g, Theme.blue.b, 0.35)
                        selectedTextColor: Theme.primary
                        background: null
                        Accessible.name: qsTr("System prompt")
                        // Tab moves on, as from every other control, rather than typing a tab.
                        Keys.onTabPressed: nextItemInFocusChain(true).forceActiveFocus(Qt.TabFocusReason)
                        Keys.onBacktabPressed: nextItemInFocusChain(false).forceActiveFocus(Qt.BacktabFocusReason)
                    }
                }
            }

            Row {
                spacing: 10
                SettingsButton {
                    id: resetButton
                    text: qsTr("Reset to default")
                    iconName: "arrow.uturn.backward"
                    onClicked: {
                        AppState.resetSystemPrompt()
                        settings.promptDraft = AppState.systemPrompt
                    }
                }
                SettingsButton {
                    id: saveButton
                    text: settings.isPromptSaved ? qsTr("Saved") : qsTr("Save prompt")
                    iconName: settings.isPromptSaved ? "checkmark" : ""
                    // nothing to save: shown dimmed and not clickable
                    enabled: !settings.isPromptSaved
                    opacity: settings.isPromptSaved ? 0.55 : 1
                    onClicked: AppState.updateSystemPrompt(settings.promptDraft)
                }
            }

            ConversationsSettings { width: column.width }

            SettingsButton {
                text: qsTr("About Quorvane")
                iconName: "info.circle"
                onClicked: aboutBox.open()
                AboutBox { id: aboutBox }
            }
        }
    }

    ModelPickerView {
        id: picker
        sheetHeight: 500
    }
}
