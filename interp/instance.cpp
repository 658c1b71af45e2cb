// Interpreter instance and exported entry points.
