import QtQuick
import QtQuick.Controls
import Quorvane

// Placeholder until the sheet is built.
Popup {
    objectName: "modelPicker"
    property real sheetHeight: 520
    modal: true
}
