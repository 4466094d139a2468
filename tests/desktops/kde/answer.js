// KWin script of the test's KDE session: when the portal's dialog appears,
// make it the active window and tell the test's user where it is; tell it
// too when the dialog has gone.
function isDialog(c) {
    if (!c) return false;
    var rc = String(c.resourceClass), rn = String(c.resourceName);
    return rc.indexOf("portal.desktop.kde") >= 0 || rn.indexOf("xdg-desktop-portal-kde") >= 0;
}
function seen(c) {
    if (!isDialog(c)) return;
    workspace.activeClient = c;
    var place = function (method) {
        var g = c.frameGeometry;
        callDBus("org.ostrovane.TestUser", "/", "org.ostrovane.TestUser", method, String(c.caption),
                 Math.round(g.x), Math.round(g.y));
    };
    place("Dialog");
    // The dialog may still be placed or resized once it has laid itself out.
    c.frameGeometryChanged.connect(function () { place("Moved"); });
}
workspace.clientAdded.connect(seen);
workspace.clientList().forEach(seen);
workspace.clientRemoved.connect(function (c) {
    if (isDialog(c)) callDBus("org.ostrovane.TestUser", "/", "org.ostrovane.TestUser", "Closed");
});
