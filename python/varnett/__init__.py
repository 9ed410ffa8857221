"""varnett: high-frequency earthquake ground motion by the stochastic method."""
