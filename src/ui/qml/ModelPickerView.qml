import QtQuick
import QtQuick.Controls
import QtQuick.Dialogs
import QtQuick.Layouts
import Quorvane
import Quorvane.State
import Quorvane.Types

// The sheet that adds a model, in four tabs: the catalog, the catalog rated
// for this machine, a pasted download link, and a .gguf file already on the
// disk. The fields and actions live in Picker; the sheet starts fresh each
// time it opens and closes itself once a model is on its way.
Popup {
    id: sheet

    property real sheetHeight: 520
    property int selectedTab: 0
    // What the user asked for last ("catalog", "download" or "import"), so
    // that a started download can also bring up the models screen.
    property string pendingAction: ""
    // A catalog entry's file is being checked; further catalog downloads
    // wait for the answer.
    readonly property bool isCheckingCatalogEntry: pendingAction === "catalog"
    readonly property bool showingFilePicker: fileDialog.visible
    readonly property bool isCancelButtonHovered: cancelButton.hovered

    readonly property var tabTitles: ["Model Library", "Suggested", "Custom URL", "Local File"]

    function downloadCatalogEntry(catalogIndex) {
        if (isCheckingCatalogEntry)
            return
        pendingAction = "catalog"
        Picker.downloadCuratedModelAt(catalogIndex)
    }
    function downloadFromLink() {
        // An empty link does nothing at all.
        if (Picker.huggingFaceURL.length === 0)
            return
        pendingAction = "download"
        Picker.downloadFromCustomURL()
    }

    // The wide blue button of the link and file tabs.
    component ActionButton: AbstractButton {
        id: action
        property string iconName
        Layout.fillWidth: true
        implicitHeight: 44
        hoverEnabled: true
        focusPolicy: Qt.TabFocus
        Accessible.role: Accessible.Button
        Accessible.name: text
        opacity: enabled ? 1 : 0.5
        scale: hovered && enabled ? 1.02 : 1.0
        Behavior on scale { NumberAnimation { duration: 200; easing.type: Easing.InOutQuad } }
        background: Rectangle {
            radius: 10
            color: Theme.blue
        }
        contentItem: Item {
            Row {
                anchors.centerIn: parent
                spacing: 8
                Icon {
                    anchors.verticalCenter: parent.verticalCenter
                    name: action.iconName
                    size: 18
                    color: "white"
                }
                Text {
                    anchors.verticalCenter: parent.verticalCenter
                    text: action.text
                    font.pixelSize: 13
                    font.weight: Font.DemiBold
                    color: "white"
                }
            }
        }
    }

    // A plain text field on a rounded, faintly tinted ground.
    component PlainField: TextField {
        Layout.fillWidth: true
        font.pixelSize: 14
        padding: 10
        color: Theme.primary
        placeholderTextColor: Theme.primaryAt(0.35)
        selectByMouse: true
        selectionColor: Qt.rgba(Theme.blue.r, Theme.blue.g, Theme.blue.b, 0.4)
        selectedTextColor: Theme.primary
        background: Rectangle {
            radius: 8
            color: Theme.primaryAt(0.1)
        }
    }

    component Headline: Text {
        font.pixelSize: 13
        font.weight: Font.DemiBold
        color: Theme.primary
    }

    objectName: "modelPicker"
    parent: Overlay.overlay
    anchors.centerIn: parent
    width: 600
    height: sheetHeight
    modal: true
    focus: true
    closePolicy: Popup.CloseOnEscape
    padding: 0
    background: Rectangle {
        radius: 12
        color: Theme.surface
        border.width: 1
        border.color: Theme.primaryAt(0.15)
    }

    onAboutToShow: {
        Picker.reset()
        selectedTab = 0
        pendingAction = ""
    }
    onClosed: {
        statusAlert.close()
        copyConfirm.close()
    }

    // Picker is shared by every screen that offers this sheet; only the one
    // on screen answers it, or the one whose catalog check is still running
    // after it was closed (the download then starts and the models screen
    // shows, or the check's error is shown).
    Connections {
        target: Picker
        enabled: sheet.visible || sheet.pendingAction === "catalog"
        function onDismissRequested() {
            if (sheet.pendingAction === "catalog" || sheet.pendingAction === "download")
                AppState.setCurrentView(Quorvane.Models)
            sheet.pendingAction = ""
            sheet.close()
        }
        function onAlertChanged() {
            if (Picker.showingAlert) {
                sheet.pendingAction = ""
                statusAlert.open()
            } else {
                statusAlert.close()
            }
        }
        function onConfirmationRequested(message, informativeText) {
            copyConfirm.answered = false
            copyConfirm.title = message
            copyConfirm.message = informativeText
            copyConfirm.open()
        }
    }

    ColumnLayout {
        objectName: "modelPickerContent"
        anchors.fill: parent
        spacing: 0

        RowLayout {
            Layout.fillWidth: true
            Layout.margins: 20
            Layout.bottomMargin: 14
            Text {
                Layout.fillWidth: true
                text: "Add AI Model"
                font.pixelSize: 22
                font.bold: true
                color: Theme.primary
            }
            AbstractButton {
                id: cancelButton
                objectName: "pickerCancelButton"
                text: "Cancel"
                padding: 6
                hoverEnabled: true
                focusPolicy: Qt.TabFocus
                Accessible.role: Accessible.Button
                Accessible.name: text
                Accessible.onPressAction: sheet.close()
                scale: hovered ? 1.05 : 1.0
                Behavior on scale { NumberAnimation { duration: 200; easing.type: Easing.InOutQuad } }
                contentItem: Text {
                    text: cancelButton.text
                    font.pixelSize: 14
                    color: cancelButton.hovered ? Theme.blue : Theme.primaryAt(0.6)
                    Behavior on color { ColorAnimation { duration: 200; easing.type: Easing.InOutQuad } }
                }
                background: null
                onClicked: sheet.close()
            }
        }

        RowLayout {
            objectName: "pickerTabs"
            Layout.fillWidth: true
            spacing: 0
            Repeater {
                model: sheet.tabTitles
                AbstractButton {
                    id: tabButton
                    required property string modelData
                    required property int index
                    readonly property bool isSelected: sheet.selectedTab === index
                    Layout.fillWidth: true
                    Layout.preferredWidth: 1
                    text: modelData
                    hoverEnabled: true
                    focusPolicy: Qt.TabFocus
                    Accessible.role: Accessible.PageTab
                    Accessible.name: text
                    Accessible.selected: isSelected
                    Accessible.onPressAction: sheet.selectedTab = index
                    contentItem: Column {
                        spacing: 8
                        Text {
                            width: parent.width
                            horizontalAlignment: Text.AlignHCenter
                            text: tabButton.text
                            font.pixelSize: 13
                            font.weight: tabButton.isSelected ? Font.DemiBold : Font.Normal
                            color: tabButton.isSelected ? Theme.blue : Theme.primaryAt(0.6)
                        }
                        Rectangle {
                            width: parent.width
                            height: 2
                            color: tabButton.isSelected ? Theme.blue : "transparent"
                        }
                    }
                    background: null
                    onClicked: sheet.selectedTab = index
                }
            }
        }

        Rectangle {
            Layout.fillWidth: true
            implicitHeight: 1
            color: Theme.primaryAt(0.1)
        }

        StackLayout {
            Layout.fillWidth: true
            Layout.fillHeight: true
            currentIndex: sheet.selectedTab

            ListView {
                id: libraryList
                objectName: "modelLibraryList"
                clip: true
                spacing: 12
                model: Catalog.entries
                enabled: !sheet.isCheckingCatalogEntry
                boundsBehavior: Flickable.StopAtBounds
                header: Item { height: 20 }
                footer: Item { height: 20 }
                ScrollBar.vertical: ScrollBar {}
                delegate: Item {
                    id: slot
                    required property var modelData
                    width: ListView.view.width
                    height: card.height
                    ModelCard {
                        id: card
                        x: 20
                        width: slot.width - 40
                        entry: slot.modelData
                        onDownload: sheet.downloadCatalogEntry(slot.modelData.catalogIndex)
                    }
                }
            }

            SuggestedModelsTabView {
                enabled: !sheet.isCheckingCatalogEntry
                onDownload: (catalogIndex) => sheet.downloadCatalogEntry(catalogIndex)
            }

            Item {
                objectName: "customURLTab"
                ColumnLayout {
                    anchors.left: parent.left
                    anchors.right: parent.right
                    anchors.top: parent.top
                    anchors.leftMargin: 40
                    anchors.rightMargin: 40
                    anchors.topMargin: 24
                    spacing: 8

                    Headline { text: "Hugging Face Model URL" }
                    PlainField {
                        objectName: "huggingFaceURLField"
                        placeholderText: "https://huggingface.co/username/model/resolve/main/file.gguf"
                        Accessible.name: "Hugging Face Model URL"
                        text: Picker.huggingFaceURL
                        onTextChanged: if (Picker.huggingFaceURL !== text) Picker.huggingFaceURL = text
                    }
                    Text {
                        Layout.fillWidth: true
                        text: "Enter direct link to GGUF file (e.g., resolve/main/filename.gguf)"
                        font.pixelSize: 10
                        color: Theme.primaryAt(0.5)
                        wrapMode: Text.Wrap
                    }

                    Headline {
                        Layout.topMargin: 16
                        text: "Model Name (Optional)"
                    }
                    PlainField {
                        objectName: "modelNameField"
                        placeholderText: "Auto-detect from URL if empty"
                        Accessible.name: "Model Name (Optional)"
                        text: Picker.modelName
                        onTextChanged: if (Picker.modelName !== text) Picker.modelName = text
                    }

                    ActionButton {
                        Layout.topMargin: 24
                        text: "Download Model"
                        iconName: "arrow.down.circle.fill"
                        onClicked: sheet.downloadFromLink()
                    }
                }
            }

            Item {
                objectName: "localFileTab"
                ColumnLayout {
                    anchors.left: parent.left
                    anchors.right: parent.right
                    anchors.verticalCenter: parent.verticalCenter
                    anchors.margins: 40
                    spacing: 12

                    Icon {
                        Layout.alignment: Qt.AlignHCenter
                        name: "doc.badge.plus"
                        size: 60
                        color: Theme.primaryAt(0.3)
                    }
                    Text {
                        Layout.alignment: Qt.AlignHCenter
                        text: "Select a GGUF Model File"
                        font.pixelSize: 15
                        font.bold: true
                        color: Theme.primary
                    }
                    Text {
                        Layout.fillWidth: true
                        horizontalAlignment: Text.AlignHCenter
                        wrapMode: Text.Wrap
                        text: "Choose a .gguf model file you already have on your computer"
                        font.pixelSize: 13
                        color: Theme.primaryAt(0.6)
                    }
                    ActionButton {
                        Layout.topMargin: 12
                        text: "Browse Files"
                        iconName: "folder.fill"
                        enabled: !Picker.isImporting
                        onClicked: fileDialog.open()
                    }
                    BusyIndicator {
                        objectName: "importBusy"
                        Layout.alignment: Qt.AlignHCenter
                        Layout.preferredWidth: 32
                        Layout.preferredHeight: 32
                        running: Picker.isImporting
                        visible: running
                    }
                }
            }
        }
    }

    FileDialog {
        id: fileDialog
        objectName: "modelFileDialog"
        title: "Select a GGUF Model File"
        fileMode: FileDialog.OpenFile
        onAccepted: {
            sheet.pendingAction = "import"
            Picker.importLocalModel([selectedFile])
        }
    }

    AlertDialog {
        id: statusAlert
        objectName: "downloadStatusAlert"
        z: 1
        title: "Download Status"
        message: Picker.alertMessage
        onClosed: Picker.showingAlert = false
        footer: DialogButtonBox {
            background: null
            Button {
                text: "OK"
                Accessible.name: text
                DialogButtonBox.buttonRole: DialogButtonBox.AcceptRole
            }
        }
    }

    // Asks before a chosen file is copied into the models folder.
    AlertDialog {
        id: copyConfirm
        objectName: "copyModelConfirm"
        property bool answered: false
        z: 1
        onClosed: {
            if (!answered) {
                answered = true
                Picker.answerConfirmation(false)
            }
        }
        footer: DialogButtonBox {
            background: null
            Button {
                text: "Copy"
                Accessible.name: text
                onClicked: {
                    copyConfirm.answered = true
                    copyConfirm.close()
                    Picker.answerConfirmation(true)
                }
            }
            Button {
                text: "Cancel"
                Accessible.name: text
                DialogButtonBox.buttonRole: DialogButtonBox.RejectRole
            }
        }
    }
}
