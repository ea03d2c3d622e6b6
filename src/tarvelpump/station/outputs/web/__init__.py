"""The station's live page, its read-only JSON API and its /metrics.

``serve(hub, store)`` runs them in a thread of their own; the page, its
script and its style ship in ``static/`` and fetch nothing from elsewhere.
``words`` puts views and events into words, ``feed`` takes rounds to the
open event streams, ``routes`` answers requests, ``guard`` keeps hostile
peers out, ``login`` asks who is there and ``server`` runs it all.
"""

from .routes import create_app
from .server import HttpServer, serve

__all__ = ["HttpServer", "create_app", "serve"]
