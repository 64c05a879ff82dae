"""The value model: how recorded values are encoded (``encode``), read back
with their kinds (``decode``) and written for people (``display``). The
model is described in docs/values.md."""
