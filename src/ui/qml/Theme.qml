pragma Singleton
import QtQuick
import Quorvane.State
import Quorvane.Types

// The colours and fonts every screen uses, following the appearance.
QtObject {
    readonly property bool isLight: AppState.appearanceMode === Quorvane.Light

    readonly property color windowBackground: isLight ? "white" : "black"
    // Near-black in dark appearance, white in light.
    readonly property color surface: isLight ? "white" : Qt.rgba(0.07, 0.07, 0.07, 1)
    readonly property color primary: isLight ? "black" : "white"
    readonly property color secondary: isLight ? Qt.rgba(0, 0, 0, 0.55) : Qt.rgba(1, 1, 1, 0.6)
    readonly property color gray: "#8e8e93"
    readonly property color blue: isLight ? "#007aff" : "#0a84ff"
    readonly property color red: isLight ? "#ff3b30" : "#ff453a"

    // A box holding an error message: a faint fill with an edge that shows.
    readonly property color errorBoxFill: primaryAt(0.06)
    readonly property color errorBoxBorder: primaryAt(0.45)

    // primary at the given opacity
    function primaryAt(opacity) { return Qt.rgba(primary.r, primary.g, primary.b, opacity) }

    readonly property string iconFont: "Material Icons"
    readonly property string monospaceFont: "DejaVu Sans Mono"
}
