// Placeholder for a subsystem that has no code yet.
