"""The stand-in models, with a video predictor that fails on the windows
of one recording (a model factory of the runner's tests)."""
import stand_in_models


class FailingVideoPredictor:
    def __init__(self, predictor, fail_on):
        self.predictor, self.fail_on = predictor, fail_on

    def init_state(self, video_path, **options):
        if self.fail_on in video_path:
            raise RuntimeError(f"out of memory on {self.fail_on}")
        return self.predictor.init_state(video_path, **options)

    def add_new_mask(self, *args, **kwargs):
        return self.predictor.add_new_mask(*args, **kwargs)

    def propagate_in_video(self, *args, **kwargs):
        return self.predictor.propagate_in_video(*args, **kwargs)

    def reset_state(self, state):
        return self.predictor.reset_state(state)


def make_models(fail_on):
    models = stand_in_models.make_models()
    return {"processor": models.processor, "grounding_model": models.grounding_model,
            "image_predictor": models.image_predictor,
            "video_predictor": FailingVideoPredictor(models.video_predictor, fail_on)}
