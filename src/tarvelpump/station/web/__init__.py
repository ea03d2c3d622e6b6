"""The station's live page, its read-only JSON API and its /metrics.

``serve(hub, store)`` runs them in a thread of their own; the page, its
script and its style ship in ``static/`` and fetch nothing from elsewhere.
"""

from .app import HttpServer, create_app, serve

__all__ = ["HttpServer", "create_app", "serve"]
