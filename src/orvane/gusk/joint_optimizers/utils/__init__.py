"""Search spaces of pipelines and the candidates they describe."""
