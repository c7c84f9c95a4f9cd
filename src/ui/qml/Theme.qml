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
    // Red words (errors, destructive actions) read on the window and on
    // control fills alike; red stays for symbols.
    readonly property color redText: isLight ? "#b3261e" : "#ff8a80"

    // A box holding an error message: a faint fill with an edge that shows.
    readonly property color errorBoxFill: primaryAt(0.06)
    readonly property color errorBoxBorder: primaryAt(0.45)

    // The stock controls (dialog buttons, menus, tooltips, fields, text
    // selection) draw with the window's palette, made of these: raised
    // sheets a step off the window, quiet fills, edges, and a selection
    // that white text reads on.
    readonly property color raised: isLight ? "white" : "#1c1c1e"
    readonly property color controlFill: isLight ? "#e5e5ea" : "#3a3a3c"
    readonly property color controlFillPressed: isLight ? "#d1d1d6" : "#48484a"
    readonly property color controlEdge: isLight ? "#aeaeb2" : "#545458"
    readonly property color controlStrong: isLight ? "#6e6e73" : "#636366"
    readonly property color selection: isLight ? "#0062cc" : "#0a60d6"
    // The sidebar sits a step off the content beside it, with a line between.
    readonly property color sidebarBackground: isLight ? "#f7f7f8" : surface
    readonly property color divider: primaryAt(isLight ? 0.1 : 0.14)
    // Both columns start with a bar this tall, so their titles and icons line up.
    readonly property int barHeight: 40

    // primary at the given opacity
    function primaryAt(opacity) { return Qt.rgba(primary.r, primary.g, primary.b, opacity) }

    readonly property string iconFont: "Material Icons"
    readonly property string monospaceFont: "DejaVu Sans Mono"
}
