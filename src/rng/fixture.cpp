// Placeholder until this area is built.
