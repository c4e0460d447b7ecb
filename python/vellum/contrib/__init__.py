"""Cache backends for web frameworks, each over an in-process `vellum.Cache`.

`vellum.contrib.django.VellumCache` is a Django cache backend (for `CACHES`),
`vellum.contrib.cachelib.VellumCache` a cachelib cache and `vellum.contrib.flask.VellumCache`
the same cache as a Flask-Caching `CACHE_TYPE`. Each module imports its framework, so
only the one in use needs to be installed.
"""
