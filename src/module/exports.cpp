// Exported C interface: filled in by the module work.
