// The unit the test programs' shared precompiled header is made in; it holds
// nothing of its own.
