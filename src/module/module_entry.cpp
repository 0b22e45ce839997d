// Module attach and detach: filled in by the module work.
