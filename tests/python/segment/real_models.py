"""Tiny, randomly initialised instances of the model classes users pass in:
transformers' Grounding DINO processor and detector, and sam2's image
predictor over a small SAM2Base. Nothing is downloaded: the tokenizer reads a
vocabulary file written here and the models are built from small configs.
Each model is built once per test session.

Random weights give arbitrary answers; the tests compare the library's
results with what it must make of those answers."""
import functools
import os
import sys
import tempfile
import types
import warnings

import pytest

# Read by huggingface_hub when it is imported: any attempt to fetch a file
# fails at once instead of reaching for the network.
os.environ["HF_HUB_OFFLINE"] = "1"

torch = pytest.importorskip("torch", reason="torch is not installed (scripts/setup.sh installs it)")
transformers = pytest.importorskip(
    "transformers", reason="transformers is not installed (scripts/setup.sh installs it)")

VOCABULARY = ["[PAD]", "[UNK]", "[CLS]", "[SEP]", "[MASK]", "pig", ".", "cow"]


@functools.cache
def detector(num_queries):
    """(processor, model): a GroundingDinoProcessor (PIL image processor,
    BERT tokenizer) and a GroundingDinoForObjectDetection answering at most
    num_queries boxes."""
    from transformers import (BertConfig, BertTokenizer, GroundingDinoConfig, GroundingDinoForObjectDetection,
                              GroundingDinoProcessor, SwinConfig)
    # The torchvision-free image processor: torchvision is not installed.
    from transformers.models.grounding_dino.image_processing_pil_grounding_dino import (
        GroundingDinoImageProcessorPil)

    with tempfile.TemporaryDirectory() as folder:
        vocab = os.path.join(folder, "vocab.txt")
        with open(vocab, "w") as f:
            f.write("\n".join(VOCABULARY) + "\n")
        tokenizer = BertTokenizer(vocab)
    processor = GroundingDinoProcessor(
        image_processor=GroundingDinoImageProcessorPil(size={"shortest_edge": 64, "longest_edge": 96}),
        tokenizer=tokenizer)
    config = GroundingDinoConfig(
        backbone_config=SwinConfig(image_size=64, patch_size=4, embed_dim=8, depths=[1, 1, 1, 1],
                                   num_heads=[1, 1, 1, 1], window_size=4, out_indices=[2, 3, 4]),
        text_config=BertConfig(vocab_size=len(VOCABULARY), hidden_size=32, num_hidden_layers=1,
                               num_attention_heads=1, intermediate_size=16, max_position_embeddings=32),
        # d_model: a multiple of the 32 groups of the input projections' norm;
        # two decoder layers: the box heads of the later layers are tied to the first.
        d_model=32, encoder_layers=1, decoder_layers=2, encoder_ffn_dim=16, decoder_ffn_dim=16,
        encoder_attention_heads=2, decoder_attention_heads=2, encoder_n_points=1, decoder_n_points=1,
        num_queries=num_queries, max_text_len=32, disable_custom_kernels=True)
    torch.manual_seed(num_queries)
    model = GroundingDinoForObjectDetection(config).eval()
    return processor, model


def _torchvision_stand_in():
    """The three torchvision transforms sam2 imports, in a few lines of torch
    (torchvision is not installed: its PyPI wheels are CUDA builds that do
    not load beside the CPU torch). The predictor scripts Resize and
    Normalize with torch.jit, so they are modules with typed forwards."""
    import numpy as np
    import torch.nn.functional as F
    from torch import nn

    class ToTensor:
        def __call__(self, pic):
            a = np.asarray(pic, dtype=np.uint8)
            return torch.from_numpy(np.ascontiguousarray(a.transpose(2, 0, 1))).float().div(255)

    class Resize(nn.Module):
        def __init__(self, size):
            super().__init__()
            self.size = [int(size[0]), int(size[1])]

        def forward(self, x: torch.Tensor) -> torch.Tensor:
            return F.interpolate(x[None], size=self.size, mode="bilinear", align_corners=False, antialias=True)[0]

    class Normalize(nn.Module):
        def __init__(self, mean, std):
            super().__init__()
            self.register_buffer("mean", torch.tensor(mean)[:, None, None])
            self.register_buffer("std", torch.tensor(std)[:, None, None])

        def forward(self, x: torch.Tensor) -> torch.Tensor:
            return (x - self.mean) / self.std

    transforms = types.ModuleType("torchvision.transforms")
    transforms.ToTensor, transforms.Resize, transforms.Normalize = ToTensor, Resize, Normalize
    package = types.ModuleType("torchvision")
    package.transforms = transforms
    return {"torchvision": package, "torchvision.transforms": transforms}


@functools.cache
def _sam2():
    pytest.importorskip("hydra", reason="hydra-core (needed by sam2) is not installed (scripts/setup.sh installs it)")
    pytest.importorskip("iopath", reason="iopath (needed by sam2) is not installed (scripts/setup.sh installs it)")
    stand_in = _torchvision_stand_in()
    saved = {name: sys.modules.get(name) for name in stand_in}
    sys.modules.update(stand_in)
    try:
        pytest.importorskip("sam2", reason="sam2 is not installed (scripts/setup.sh installs it)")
        from sam2.modeling.backbones.hieradet import Hiera
        from sam2.modeling.backbones.image_encoder import FpnNeck, ImageEncoder
        from sam2.modeling.position_encoding import PositionEmbeddingSine
        from sam2.modeling.sam2_base import SAM2Base
        from sam2.sam2_image_predictor import SAM2ImagePredictor
    finally:
        # Only sam2 sees the stand-in: transformers looks for torchvision on its own.
        for name, module in saved.items():
            if module is None:
                sys.modules.pop(name, None)
            else:
                sys.modules[name] = module
    return Hiera, FpnNeck, ImageEncoder, PositionEmbeddingSine, SAM2Base, SAM2ImagePredictor


IMAGE_SIZE = 64  # the predictor's input side (the released models use 1024)


@functools.cache
def image_predictor():
    """A SAM2ImagePredictor over a small SAM2Base (Hiera trunk, FPN neck,
    prompt encoder and mask decoder, the options of the released image models)."""
    Hiera, FpnNeck, ImageEncoder, PositionEmbeddingSine, SAM2Base, SAM2ImagePredictor = _sam2()
    torch.manual_seed(0)
    d_model = 32
    encoder = ImageEncoder(
        trunk=Hiera(embed_dim=8, num_heads=1, stages=[1, 1, 1, 1], global_att_blocks=[]),
        neck=FpnNeck(position_encoding=PositionEmbeddingSine(num_pos_feats=d_model, normalize=True),
                     d_model=d_model, backbone_channel_list=[64, 32, 16, 8], fpn_top_down_levels=[2, 3],
                     fpn_interp_model="nearest"),
        scalp=1)
    # The memory parts serve only the video predictor.
    model = SAM2Base(encoder, memory_attention=None, memory_encoder=None, image_size=IMAGE_SIZE,
                     use_high_res_features_in_sam=True, directly_add_no_mem_embed=True, pred_obj_scores=True,
                     pred_obj_scores_mlp=True, iou_prediction_use_sigmoid=True).eval()
    with warnings.catch_warnings():
        # sam2 scripts its transforms with torch.jit, which torch now marks deprecated.
        warnings.filterwarnings("ignore", message=r"`torch\.jit\.script` is deprecated", category=DeprecationWarning)
        predictor = SAM2ImagePredictor(model)
    # The predictor's feature-map sizes are written for the 1024-pixel input
    # of the released models (strides 4, 8 and 16).
    predictor._bb_feat_sizes = [(IMAGE_SIZE // s, IMAGE_SIZE // s) for s in (4, 8, 16)]
    return predictor


@functools.cache
def video_predictor():
    """A SAM2VideoPredictor built as sam2 builds it (build_sam2_video_predictor
    on its tiny configuration, with sam2's post-processing), made small by
    hydra overrides: a 64-pixel input, the trunk, neck, memory attention and
    memory encoder of the image predictor's sizes, no checkpoint."""
    _sam2()
    stand_in = _torchvision_stand_in()
    saved = {name: sys.modules.get(name) for name in stand_in}
    sys.modules.update(stand_in)
    try:
        from sam2.build_sam import build_sam2_video_predictor
    finally:
        for name, module in saved.items():
            if module is None:
                sys.modules.pop(name, None)
            else:
                sys.modules[name] = module
    d_model, memory = 32, 16
    side = IMAGE_SIZE // 16  # the feature map at the backbone's stride
    overrides = [
        f"++model.image_size={IMAGE_SIZE}",
        "++model.image_encoder.trunk.embed_dim=8",
        "++model.image_encoder.trunk.stages=[1,1,1,1]",
        "++model.image_encoder.trunk.global_att_blocks=[]",
        f"++model.image_encoder.neck.d_model={d_model}",
        "++model.image_encoder.neck.backbone_channel_list=[64,32,16,8]",
        f"++model.image_encoder.neck.position_encoding.num_pos_feats={d_model}",
        f"++model.memory_attention.d_model={d_model}",
        "++model.memory_attention.num_layers=1",
        f"++model.memory_attention.layer.d_model={d_model}",
        "++model.memory_attention.layer.dim_feedforward=16",
        f"++model.memory_attention.layer.self_attention.embedding_dim={d_model}",
        f"++model.memory_attention.layer.self_attention.feat_sizes=[{side},{side}]",
        f"++model.memory_attention.layer.cross_attention.embedding_dim={d_model}",
        f"++model.memory_attention.layer.cross_attention.feat_sizes=[{side},{side}]",
        f"++model.memory_attention.layer.cross_attention.kv_in_dim={memory}",
        f"++model.memory_encoder.out_dim={memory}",
        f"++model.memory_encoder.in_dim={d_model}",
        f"++model.memory_encoder.position_encoding.num_pos_feats={memory}",
        f"++model.memory_encoder.mask_downsampler.embed_dim={d_model}",
        f"++model.memory_encoder.fuser.layer.dim={d_model}",
        "++model.num_maskmem=2",
    ]
    torch.manual_seed(1)
    return build_sam2_video_predictor("configs/sam2.1/sam2.1_hiera_t.yaml", ckpt_path=None, device="cpu",
                                      hydra_overrides_extra=overrides)


def make_models(queries=1):
    """The real classes at tiny random weights, as the recording runner's
    model factory returns them: a detector answering at most `queries`
    boxes."""
    import mirelo_utils as mu

    processor, model = detector(queries)
    return mu.Models(processor=processor, grounding_model=model, image_predictor=image_predictor(),
                     video_predictor=video_predictor(), device="cpu")
