import QtQuick
import QtQuick.Controls
import QtQuick.Dialogs
import QtQuick.Layouts
import Quorvane
import Quorvane.State

// The sheet that adds a model, in four tabs: the catalog, the catalog rated
// for this machine, a pasted download link, and a .gguf file already on the
// disk. The fields and actions live in Picker; the sheet starts fresh each
// time it opens and closes itself once a model is on its way.
Popup {
    id: sheet

    property real sheetHeight: 520
    property int selectedTab: 0
    readonly property bool showingFilePicker: fileDialog.visible
    readonly property bool isCancelButtonHovered: cancelButton.hovered

    readonly property var tabTitles: [qsTr("Model Library"), qsTr("Suggested"), qsTr("Custom URL"), qsTr("Local File")]

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
    }
    onClosed: {
        statusAlert.close()
        copyConfirm.close()
    }

    // Picker is shared by every screen that offers this sheet; only the one
    // on screen answers it, or, while a catalog check runs, a closed one (the
    // check's error is still shown; a passed check starts the download and
    // Picker shows the models screen).
    Connections {
        target: Picker
        enabled: sheet.visible || Picker.isCheckingCatalogEntry
        function onDismissRequested() { sheet.close() }
        function onAlertChanged() {
            if (Picker.showingAlert)
                statusAlert.open()
            else
                statusAlert.close()
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
                text: qsTr("Add AI Model")
                font.pixelSize: 22
                font.bold: true
                color: Theme.primary
            }
            AbstractButton {
                id: cancelButton
                objectName: "pickerCancelButton"
                text: qsTr("Cancel")
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

            ModelLibraryTabView {
                enabled: !Picker.isCheckingCatalogEntry
                onDownload: (catalogIndex) => Picker.downloadCuratedModelAt(catalogIndex)
            }
            SuggestedModelsTabView {
                enabled: !Picker.isCheckingCatalogEntry
                onDownload: (catalogIndex) => Picker.downloadCuratedModelAt(catalogIndex)
            }
            CustomURLTabView {}
            LocalFileTabView {
                onBrowse: fileDialog.open()
            }
        }
    }

    FileDialog {
        id: fileDialog
        objectName: "modelFileDialog"
        title: qsTr("Select a GGUF Model File")
        fileMode: FileDialog.OpenFile
        onAccepted: Picker.importLocalModel([selectedFile])
    }

    AlertDialog {
        id: statusAlert
        objectName: "downloadStatusAlert"
        z: 1
        title: qsTr("Download Status")
        message: Picker.alertMessage
        onClosed: Picker.showingAlert = false
        footer: DialogButtonBox {
            background: null
            Button {
                text: qsTr("OK")
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
                text: qsTr("Copy")
                Accessible.name: text
                onClicked: {
                    copyConfirm.answered = true
                    copyConfirm.close()
                    Picker.answerConfirmation(true)
                }
            }
            Button {
                text: qsTr("Cancel")
                Accessible.name: text
                DialogButtonBox.buttonRole: DialogButtonBox.RejectRole
            }
        }
    }
}
