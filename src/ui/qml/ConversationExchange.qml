import QtQuick
import QtQuick.Controls
import QtQuick.Dialogs
import Quorvane
import Quorvane.State

// Conversations written out and read in through the file chooser: one as
// Markdown or JSON, all of them into a folder, a JSON export imported. What
// went wrong (or what an import had to mend) shows in an alert.
Item {
    id: exchange
    property string exportId

    function exportConversation(id) {
        if (id.length === 0)
            return
        exportId = id
        exportDialog.selectedFile = AppState.suggestedExportFile(id)
        exportDialog.open()
    }
    function exportAll() { folderDialog.open() }
    function chooseImport() { importDialog.open() }
    // Files dropped or chosen: each JSON export becomes a conversation.
    function importUrls(urls) {
        const problems = []
        for (const url of urls) {
            const text = AppState.importSessionFile(url)
            if (text.length > 0)
                problems.push(text)
        }
        report(qsTr("Import"), problems.join("\n\n"))
    }
    function report(title, text) {
        if (text.length === 0)
            return
        alert.title = title
        alert.message = text
        alert.open()
    }

    FileDialog {
        id: exportDialog
        objectName: "exportDialog"
        title: qsTr("Export Conversation")
        fileMode: FileDialog.SaveFile
        nameFilters: ["Markdown (*.md)", "JSON (*.json)"]
        onAccepted: {
            let file = selectedFile.toString()
            if (!/\.(md|json)$/i.test(file))
                file += selectedNameFilter.index === 1 ? ".json" : ".md"
            exchange.report(qsTr("Export"), AppState.exportSession(exchange.exportId, file))
        }
    }
    FolderDialog {
        id: folderDialog
        objectName: "exportAllDialog"
        title: qsTr("Export All Conversations")
        onAccepted: exchange.report(qsTr("Export"), AppState.exportAllSessions(selectedFolder))
    }
    FileDialog {
        id: importDialog
        objectName: "importDialog"
        title: qsTr("Import Conversations")
        fileMode: FileDialog.OpenFiles
        nameFilters: ["JSON (*.json)"]
        onAccepted: exchange.importUrls(selectedFiles)
    }
    AlertDialog {
        id: alert
        objectName: "exchangeAlert"
        footer: DialogButtonBox {
            background: null
            Button {
                Accessible.name: text
                text: qsTr("OK")
                DialogButtonBox.buttonRole: DialogButtonBox.AcceptRole
            }
        }
    }
}
