"""Mixed models for repeated measures (MMRM): y_i ~ N(X_i beta, Sigma_i) per
subject i, Sigma_i the rows and columns of a structured T x T covariance
for the visits subject i has, no random effects.

Modules in the order data flows: ``formula`` (the covariance term of the
formula), ``model`` (rows, visits and subjects to the core), ``result``
(estimates, tests and tables).
"""
