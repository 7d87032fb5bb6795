%DENSEMATCH  Dense sub-pixel correspondence field between two images.
%   [DX, DY, VALID, COST] = DENSEMATCH(IMAGE1, IMAGE2) finds for every pixel
%   (x, y) of IMAGE1 the point (x + DX, y + DY) of IMAGE2 that shows the same
%   thing, in 0-based pixel coordinates (the same as cellcost and densedisp;
%   with 1-based indices, pixel (r, c) maps to (r + DY(r,c), c + DX(r,c))).
%   [...] = DENSEMATCH(IMAGE1, IMAGE2, OPTIONS) sets some of the options below.
%
%   Inputs
%     IMAGE1, IMAGE2  H x W (grey) or H x W x 3 (RGB) arrays of class uint8,
%                     uint16 (read on their full range), single or double
%                     (read on [0, 1]); real, finite, not empty. The two may
%                     differ in size and in being grey or RGB. Images are
%                     matched at the size given.
%     OPTIONS         optional scalar struct ([] = the defaults); every field
%                     is optional and an unknown field is an error.
%
%   Outputs (all H1 x W1, H1 x W1 the size of IMAGE1)
%     DX, DY   single: the displacement of each pixel, sub-pixel.
%     VALID    logical: true where the match is reliable. False where the
%              match leaves IMAGE2, or where matching IMAGE2 back to IMAGE1
%              from (x + DX, y + DY) does not return within
%              consistency_threshold pixels (occluded or unreliable). With
%              the check on, false everywhere where fewer than a quarter of
%              the pixels on texture pass it and their matches pair unlike
%              descriptors as a whole (median distance at cell_truncate or
%              beyond, upright and where the images are aligned by the
%              homography they fit): two unrelated images.
%     COST     single: descriptor distance between the pixel and its match
%              rounded to whole pixels (0 = identical, about 1.4 at most);
%              Inf where the match leaves IMAGE2.
%
%   How it works
%     1. Both images are described by per-pixel gradient-orientation
%        histograms (the densedesc descriptor).
%     2. cellcost: the mean descriptor distance of every translation on a
%        grid (step grid_size, within search_radius) over every cell of a
%        quad-tree pyramid laid over IMAGE1.
%     3. One translation per cell, chosen jointly by min-sum belief
%        propagation: a cell pays its cost plus, for each neighbour in its
%        level and for its parent, neighbour_weight (parent_weight) per
%        translation step of difference, capped at neighbour_truncate
%        (parent_truncate).
%     4. The finest cells' translations are spread to the pixels and refined
%        with densedisp: a search within refine_radius pixels, a 3 x 3 median,
%        a search within 1 pixel.
%     5. Sub-pixel: a parabola through the descriptor distances around each
%        match.
%     6. The same from IMAGE2 to IMAGE1. Matches that come back to within
%        1 px guide a variational refinement on the images themselves
%        (brightness and gradient constancy, robust penalties, smoothness),
%        coarse to fine; areas without such matches start from their
%        surroundings' motion. Where the matches show that the exposures
%        differ, IMAGE2 is first brought to IMAGE1's brightness (a gain, a
%        gain that varies over the image, or a tone curve), and values that
%        one image clips are compared clipped in both.
%     7. The forward-backward check on the refined fields gives VALID.
%
%   Options (defaults in brackets)
%     search_radius       largest displacement searched, pixels: a scalar or
%                         [horizontal vertical] [a quarter of the longer side
%                         of the two images, on both axes, and twice that
%                         where the first window finds too few matches whose
%                         descriptors agree, or finds them crowding its edge
%                         with distances near the clip; vertical 0 with
%                         rectified]
%     grid_size           step of the cell-cost grids, pixels; 0 = from the
%                         image size, about 80 steps along the longer side [0]
%     n_tree_level        pyramid levels; 0 = the most whose finest cells span
%                         at least 3 grid steps each way, at most 6 [0]
%     cell_truncate       clip of every descriptor distance in the cell costs
%                         [0.5]
%     neighbour_weight    cost per translation step between neighbouring
%                         cells [0.02]
%     neighbour_truncate  cap of that cost [0.2]
%     parent_weight       cost per translation step between a cell and its
%                         parent [0.02]
%     parent_truncate     cap of that cost [0.2]
%     bp_iterations       belief-propagation sweeps (coarse to fine and back)
%                         [1]
%     refine_radius       first pixel search radius; 0 = half of grid_size,
%                         from 1 to 4 [0]
%     refine_step         step of that first search's offsets, pixels [1]
%     deform_coeff        pixel-search penalty per pixel of offset [0.005]
%     flow_warps          re-linearisations of the variational refinement;
%                         0 = none (the parabola step is the last) [3]
%     flow_coarse_warps   re-linearisations at every refinement scale but
%                         the two finest (0: those scales leave the field
%                         as they find it) [5]
%     flow_fixed_point    robust-weight updates per warp [1]
%     flow_sor            SOR sweeps per update [10]
%     flow_smoothness     weight of the field's smoothness [0.8]
%     flow_brightness     weight of brightness constancy [0.5]
%     flow_gradient       weight of gradient constancy [0.8]
%     flow_sigma          Gaussian smoothing of the images for the
%                         refinement, pixels [0.4]
%     flow_edge           how much image edges weaken the smoothness [2]
%     flow_scales         scales of the refinement, coarse to fine (fewer
%                         where the images get small) [9]
%     flow_scale_factor   size of each scale relative to the next finer one,
%                         0.25 to 0.95 [0.75]
%     flow_anchor         pull of the refinement, at all but the two finest
%                         scales, towards the descriptor matches that the
%                         backward match confirms; weaker along the edges
%                         and stripes of IMAGE1 [0.5]
%     consistency_threshold  largest forward-backward error of a valid pixel,
%                         pixels; <= 0 skips the backward match (VALID is then
%                         only "inside IMAGE2") [1]
%     global_motion       true (or 1): where one homography explains most valid matches
%                         (or, as a repeated structure can split them, many
%                         of them while the images look clearly more alike
%                         under it than under a rival) and departs from a
%                         translation (a change of viewpoint, a rotation, a
%                         zoom), match again with each image seen through
%                         it; and where no window's matches agree (a camera
%                         turned by more than some 35 degrees or zoomed by
%                         some 1.6), look at image 2 turned by each multiple
%                         of 45 degrees, then also zoomed by 1.6 or 1/1.6,
%                         and keep the best view's match where it agrees
%                         (only the view nearest to the motion the matches
%                         fit where they agree once the images are aligned);
%                         false (or 0): one pass [true]
%     rectified           true (or 1): a rectified stereo pair, every match
%                         on its pixel's own row: the search runs along the
%                         rows, DY is 0, no global-motion pass, and a pixel
%                         that is not VALID, between VALID pixels on its
%                         row, takes the displacement nearer 0 of the
%                         nearest of them to its left and right (an
%                         occluded pixel shows the background) [false]
%     median_radius       with rectified: each DX that lies more than 1 px
%                         from the colour-weighted median of its
%                         (2*median_radius+1)^2 window takes that median, so
%                         that depth edges follow the image's edges (on a
%                         surface sloping by 0.2 px per px or more, the
%                         window's values carried along the slope first);
%                         0 = no median; 0 to 64 [7]
%     snap_radius         with rectified, after the median: each VALID pixel
%                         takes the DX of a pixel 3, 6, 9 or 12 px to its
%                         left or right that differs from its own by 1 px or
%                         more (carried along a slope of 0.2 px per px or
%                         more) beyond a step in DX on the way, where that
%                         matches a (2*snap_radius+1)^2
%                         window, weighted by colour similarity, at below 0.9
%                         times the cost of its own; 0 = no such step; 0 to
%                         31 [4]
%     fill_frame          true (or 1): pixels that are 0 in every channel
%                         and reach the image's border through each other
%                         (the black padding of a rectified, rendered or
%                         stabilised image) take the nearest content's
%                         values before matching; such pixels of IMAGE1 get
%                         the motion around them (the refinement reads no
%                         data there) and, like matches landing on such
%                         pixels of IMAGE2, are not VALID; false (or 0):
%                         read as image [true]
%     n_threads           OpenMP threads for this call; 0 = the current
%                         setting [0]. Results do not depend on it.
%     descriptor          struct of descriptor options: smoothing_sigma,
%                         n_orientations, cell_size, grid_cells, norm_floor,
%                         root_normalise (true/false or 1/0) (see
%                         densedesc); at most 128 channels
%                         (n_orientations * grid_cells^2). cell_size 0 (the
%                         default here) = from the grid: 3 up to grid_size 4,
%                         then 3/4 of grid_size, so that the descriptor's
%                         reach grows with the image; where such a larger
%                         cell's matches agree in neither window, one
%                         more try smooths the image in proportion
%                         (smoothing_sigma * cell_size / 3)
%
%   Errors (nothing is assigned)
%     densecorr:densematch:badInput  a bad argument or option, with a message
%                                    that says which and why
%     densecorr:outOfMemory          not enough memory for the call
%
%   Example
%     a = imread('left.png'); b = imread('right.png');
%     [dx, dy, valid] = densematch(a, b);
%     imagesc(dx .* valid); axis image; colorbar
%
%   See also CELLCOST, DENSEDISP.
