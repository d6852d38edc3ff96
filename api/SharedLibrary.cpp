// libTolvenixUtilities.so is the TolvenixCore archive linked whole, with
// every symbol but the exports hidden. A library target needs a source of
// its own; this one adds nothing.
