// The shared object is the core library linked whole; its export map keeps
// only the entry points visible.
